// Task memory, global memory handles, atomic counters and the per-thread last error.
#include "platform/Memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kErrorNotLocked = 158;

TEST(TaskMemory, ReallocKeepsContentAndZeroSizeFrees)
{
    auto* p = static_cast<char*>(CoTaskMemAlloc(4));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abc", 4);
    p = static_cast<char*>(CoTaskMemRealloc(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "abc");
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr); // freed; the sanitizer build sees a leak otherwise

    void* fresh = CoTaskMemRealloc(nullptr, 8);
    EXPECT_NE(fresh, nullptr);
    CoTaskMemFree(fresh);
    CoTaskMemFree(nullptr);

    void* empty = CoTaskMemAlloc(0);
    EXPECT_NE(empty, nullptr);
    CoTaskMemFree(empty);
}

TEST(GlobalMemory, ZeroInitSizeAndLockCount)
{
    HGLOBAL h = GlobalAlloc(GHND, 100);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GlobalSize(h), 100u);
    auto* data = static_cast<BYTE*>(GlobalLock(h));
    ASSERT_NE(data, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(data[i], 0) << i;
    EXPECT_EQ(GlobalLock(h), data);

    EXPECT_TRUE(GlobalUnlock(h)); // still locked once
    SetLastError(12345);
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS); // FALSE because the last lock went, not an error
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GetLastError(), kErrorNotLocked);
    EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, BadHandlesFailWithoutTouchingMemory)
{
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 16);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(GlobalFree(h), nullptr);

    // The handle is stale now; none of these may read the freed block (the sanitizer would say).
    SetLastError(0);
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GlobalFree(h), h);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_EQ(GlobalLock(nullptr), nullptr);
    EXPECT_EQ(GlobalSize(nullptr), 0u);
    EXPECT_EQ(GlobalFree(nullptr), nullptr);

    // A pointer that was never a handle, such as a server might send.
    long notAHandle[4] = {};
    EXPECT_EQ(GlobalLock(reinterpret_cast<HGLOBAL>(notAHandle)), nullptr);
    EXPECT_EQ(GlobalSize(reinterpret_cast<HGLOBAL>(notAHandle)), 0u);
}

TEST(GlobalMemory, ReAllocGrowsUnlockedBlocksOnly)
{
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
    ASSERT_NE(h, nullptr);
    std::memcpy(GlobalLock(h), "xyz", 4);

    // Growing would move the block under the lock holder's pointer.
    EXPECT_EQ(GlobalReAlloc(h, 1 << 20, GMEM_MOVEABLE), nullptr);
    EXPECT_EQ(GlobalSize(h), 4u);
    GlobalUnlock(h);

    // The data moves, the handle stays: code written for the platform keeps using its handle.
    HGLOBAL grown = GlobalReAlloc(h, 1 << 20, GMEM_MOVEABLE | GMEM_ZEROINIT);
    ASSERT_EQ(grown, h);
    EXPECT_EQ(GlobalSize(grown), 1u << 20);
    auto* data = static_cast<char*>(GlobalLock(grown));
    EXPECT_STREQ(data, "xyz");
    EXPECT_EQ(data[(1 << 20) - 1], 0);
    GlobalUnlock(grown);
    EXPECT_EQ(GlobalFree(grown), nullptr);
}

TEST(GlobalMemory, HandlesFromManyThreadsStayApart)
{
    // Delivery threads allocate and free blocks while others lock theirs.
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 2000; ++i) {
                HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, std::size_t(16 + t));
                auto* data = static_cast<BYTE*>(GlobalLock(h));
                if (!data) {
                    ++failures[std::size_t(t)];
                    continue;
                }
                std::memset(data, t, std::size_t(16 + t));
                if (GlobalSize(h) != std::size_t(16 + t) || data[15] != t) ++failures[std::size_t(t)];
                GlobalUnlock(h);
                if (GlobalFree(h) != nullptr) ++failures[std::size_t(t)];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}

TEST(Interlocked, CountersAreExactAcrossThreads)
{
    LONG volatile counter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 50000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                InterlockedIncrement(&counter);
                InterlockedIncrement(&counter);
                InterlockedDecrement(&counter);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, kThreads * kRounds);

    EXPECT_EQ(InterlockedExchange(&counter, 7), kThreads * kRounds);
    EXPECT_EQ(InterlockedCompareExchange(&counter, 9, 8), 7); // no match: unchanged
    EXPECT_EQ(counter, 7);
    EXPECT_EQ(InterlockedCompareExchange(&counter, 9, 7), 7);
    EXPECT_EQ(counter, 9);
    EXPECT_EQ(InterlockedDecrement(&counter), 8);
}

TEST(LastError, IsPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 1;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    });
    other.join();
    EXPECT_EQ(seenByOther, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

} // namespace
