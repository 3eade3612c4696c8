// The busy blocks of the C runtime's heap, which the program and every server DLL allocate from
// (they share the system's C runtime), counted by walking it.
#include "HeapUsage.h"

#include "platform/WinTypes.h"

#include <malloc.h>

namespace servertest {

std::size_t heapInUse()
{
    const HANDLE heap = reinterpret_cast<HANDLE>(_get_heap_handle());
    std::size_t busy = 0;
    if (!HeapLock(heap)) return 0;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
    HeapUnlock(heap);
    return busy;
}

} // namespace servertest
