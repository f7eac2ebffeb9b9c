// Linux programs load shared libraries through the dynamic linker's own
// search path, which never includes the program's folder unless the program
// was linked with an rpath saying so; there is nothing to restrict.
#include "app/common/library_search.h"

namespace orvik::app {

void RestrictLibrarySearchToSystem() {}

}  // namespace orvik::app
