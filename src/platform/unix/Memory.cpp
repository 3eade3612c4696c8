// Task memory, global memory handles, atomic counters and the per-thread last error.
#include "platform/Memory.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_set>

namespace {

constexpr DWORD kErrorNotLocked = 158; // ERROR_NOT_LOCKED

thread_local DWORD t_lastError = ERROR_SUCCESS;

// A global handle points at this header. The caller's bytes follow it (the header is 32 bytes,
// so they keep malloc's 16-byte alignment, which the data-change block's readers rely on) until
// the block grows: then they move to an allocation of their own and `data` follows them, so the
// handle stays the same across GlobalReAlloc as a moveable handle does on Windows.
struct alignas(16) GlobalBlock {
    std::uint32_t magic;
    std::uint32_t lockCount;
    std::size_t size;
    BYTE* data;
};
static_assert(sizeof(GlobalBlock) == 32);
constexpr std::uint32_t kGlobalMagic = 0x474D454D; // "GMEM"

// Every live handle. A handle that a server already freed (or never allocated) must yield an
// error, not a read of freed memory, so the magic alone cannot be trusted: it is checked only
// for handles found here.
class GlobalTable {
public:
    std::mutex mutex;

    // Call with the mutex held.
    GlobalBlock* find(HGLOBAL handle)
    {
        auto* block = reinterpret_cast<GlobalBlock*>(handle);
        if (!block || !_live.contains(block) || block->magic != kGlobalMagic) return nullptr;
        return block;
    }
    void add(GlobalBlock* block) { _live.insert(block); }
    void remove(GlobalBlock* block) { _live.erase(block); }

private:
    std::unordered_set<GlobalBlock*> _live;
};

GlobalTable& globalTable()
{
    // Never destroyed: in-process servers may free their last blocks while the process exits.
    static auto* table = new GlobalTable;
    return *table;
}

BYTE* inlineDataOf(GlobalBlock* block) { return reinterpret_cast<BYTE*>(block + 1); }

void freeBlock(GlobalBlock* block)
{
    if (block->data != inlineDataOf(block)) std::free(block->data);
    std::free(block);
}

bool blockBytes(SIZE_T size, std::size_t& total)
{
    if (size > std::numeric_limits<std::size_t>::max() - sizeof(GlobalBlock) - 1) return false;
    total = sizeof(GlobalBlock) + (size ? size : 1);
    return true;
}

} // namespace

// --- task memory -------------------------------------------------------------------------------

LPVOID CoTaskMemAlloc(SIZE_T cb)
{
    // A zero-byte request still gets a distinct block, as the platform's allocator gives one.
    return std::malloc(cb ? cb : 1);
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb)
{
    if (!pv) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb);
}

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

// --- global memory -----------------------------------------------------------------------------

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes)
{
    std::size_t total = 0;
    if (!blockBytes(dwBytes, total)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* memory = (uFlags & GMEM_ZEROINIT) ? std::calloc(1, total) : std::malloc(total);
    if (!memory) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* block = static_cast<GlobalBlock*>(memory); // malloc's alignment covers alignas(16)
    block->magic = kGlobalMagic;
    block->lockCount = 0;
    block->size = dwBytes;
    block->data = inlineDataOf(block);
    GlobalTable& table = globalTable();
    try {
        std::lock_guard lock(table.mutex);
        table.add(block);
    } catch (const std::bad_alloc&) {
        std::free(memory);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return reinterpret_cast<HGLOBAL>(block);
}

HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags)
{
    constexpr UINT kModify = 0x0080; // GMEM_MODIFY: change attributes only, of which we keep none
    GlobalTable& table = globalTable();
    std::lock_guard lock(table.mutex);
    GlobalBlock* block = table.find(hMem);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (uFlags & kModify) return hMem;
    const std::size_t oldSize = block->size;
    if (dwBytes <= oldSize) {
        // Shrinking in place keeps every pointer a locked block has handed out valid.
        block->size = dwBytes;
        return hMem;
    }
    if (block->lockCount > 0) {
        // The block would move under a caller that holds its address.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* data = static_cast<BYTE*>(std::malloc(dwBytes));
    if (!data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memcpy(data, block->data, oldSize);
    if (uFlags & GMEM_ZEROINIT) std::memset(data + oldSize, 0, dwBytes - oldSize);
    if (block->data != inlineDataOf(block)) std::free(block->data);
    block->data = data;
    block->size = dwBytes;
    return hMem;
}

LPVOID GlobalLock(HGLOBAL hMem)
{
    GlobalTable& table = globalTable();
    std::lock_guard lock(table.mutex);
    GlobalBlock* block = table.find(hMem);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (block->lockCount < std::numeric_limits<std::uint32_t>::max()) ++block->lockCount;
    return block->data;
}

BOOL GlobalUnlock(HGLOBAL hMem)
{
    GlobalTable& table = globalTable();
    std::lock_guard lock(table.mutex);
    GlobalBlock* block = table.find(hMem);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (block->lockCount == 0) {
        SetLastError(kErrorNotLocked);
        return FALSE;
    }
    // FALSE with ERROR_SUCCESS tells the caller the last lock is gone.
    if (--block->lockCount == 0) {
        SetLastError(ERROR_SUCCESS);
        return FALSE;
    }
    return TRUE;
}

SIZE_T GlobalSize(HGLOBAL hMem)
{
    GlobalTable& table = globalTable();
    std::lock_guard lock(table.mutex);
    GlobalBlock* block = table.find(hMem);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return block->size;
}

HGLOBAL GlobalFree(HGLOBAL hMem)
{
    if (!hMem) return nullptr;
    GlobalTable& table = globalTable();
    GlobalBlock* block = nullptr;
    {
        std::lock_guard lock(table.mutex);
        block = table.find(hMem);
        if (!block) {
            SetLastError(ERROR_INVALID_HANDLE);
            return hMem;
        }
        // A locked block is freed as well, as the platform does; the lock only guards moves.
        table.remove(block);
        block->magic = 0;
    }
    freeBlock(block);
    return nullptr;
}

// --- atomics and last error ----------------------------------------------------------------------

LONG InterlockedIncrement(LONG volatile* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedDecrement(LONG volatile* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedExchange(LONG volatile* target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand)
{
    // Returns the value found, whether or not the exchange happened.
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }
