// How much of the C library's heap is in use, for tests that bound what an operation allocates.
// Counts every thread's allocations. Any thread.
#pragma once

#include <cstddef>

namespace servertest {

// Bytes the allocator has handed out and not got back.
std::size_t heapInUse();

} // namespace servertest
