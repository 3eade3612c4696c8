// The C library's counters, or the sanitizer's in the sanitizer builds.
#include "HeapUsage.h"

#include <malloc.h>

// Sanitizer builds allocate outside the C library's arenas, where its counters do not look.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAGVISTA_SANITIZER_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAGVISTA_SANITIZER_HEAP 1
#endif
#ifdef TAGVISTA_SANITIZER_HEAP
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace servertest {

std::size_t heapInUse()
{
#ifdef TAGVISTA_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    const auto info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

} // namespace servertest
