// Built where the Win32 front end is not: every build but Windows.
#include "bench_support.h"

namespace orvik::bench {

std::unique_ptr<UpdateHost> MakeWin32Host(TimingDevice& /*device*/, const Resources& /*resources*/,
                                          std::string& whyNot) {
  whyNot = "the Win32 dialog exists only in Windows builds";
  return nullptr;
}

}  // namespace orvik::bench
