// Off Windows the executable has no native resources: the build compiles the
// firmware image and the version text into a table.
#include "image/resources.h"

namespace orvik {

const Resources& ProgramResources() {
  static const TableResources resources(EmbeddedResourceTable());
  return resources;
}

}  // namespace orvik
