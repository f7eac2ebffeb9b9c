#include <malloc.h>

#include "unit/reliability/reliability_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVIK_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORVIK_SANITIZER_ALLOCATOR 1
#endif
#endif

#ifdef ORVIK_SANITIZER_ALLOCATOR
// The sanitizers' allocator counts what is live; g++ ships no header for it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace orvik::test {

std::size_t LiveHeapBytes() {
#ifdef ORVIK_SANITIZER_ALLOCATOR
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

}  // namespace orvik::test
