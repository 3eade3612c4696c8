// Task memory (what crosses an interface and is freed by the other side), global memory
// handles (the data-change block travels in one), and atomic counters. Any thread.
#pragma once

#include "platform/WinTypesApi.h"

// Task memory: one allocator for the whole process, shared with every in-process server, so
// memory a server allocates is freed by the client and the reverse. CoTaskMemFree(nullptr) is a
// no-op.
LPVOID CoTaskMemAlloc(SIZE_T cb);
LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
void CoTaskMemFree(LPVOID pv);

// Global memory: a handle to a block with its size and a lock count. GlobalLock returns the
// block's address (null for a null or freed handle), GlobalUnlock lowers the lock count,
// GlobalSize gives the size asked for at allocation (0 for a bad handle), GlobalFree returns
// null on success and the handle itself on failure. GMEM_ZEROINIT fills the block with zeros.
struct HGLOBAL__;
using HGLOBAL = HGLOBAL__*;
constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT GMEM_SHARE = 0x2000;
constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags);
LPVOID GlobalLock(HGLOBAL hMem);
BOOL GlobalUnlock(HGLOBAL hMem);
SIZE_T GlobalSize(HGLOBAL hMem);
HGLOBAL GlobalFree(HGLOBAL hMem);

LONG InterlockedIncrement(LONG volatile* addend);
LONG InterlockedDecrement(LONG volatile* addend);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand);

// The calling thread's last error code.
DWORD GetLastError();
void SetLastError(DWORD code);
