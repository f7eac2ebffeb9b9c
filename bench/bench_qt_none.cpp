// Built when the Qt front end's dialog library is not part of the build.
#include "bench_support.h"

namespace orvik::bench {

std::unique_ptr<UpdateHost> MakeQtHost(TimingDevice& /*device*/, const Resources& /*resources*/, std::string& whyNot) {
  whyNot = "the Qt dialog library (orvik_qt_dialog) is not part of this build";
  return nullptr;
}

}  // namespace orvik::bench
