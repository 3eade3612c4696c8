// FILETIME <-> SYSTEMTIME over the whole range, and the clocks.
#include "platform/Memory.h"
#include "platform/Time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

constexpr ULONGLONG kTicksPerMs = 10000;
constexpr ULONGLONG kLastValid = 0x7FFFFFFFFFFFFFFFull;

// Zeller's congruence: a day-of-week rule independent of the day counting under test.
WORD zellerWeekday(int year, int month, int day)
{
    if (month < 3) {
        month += 12;
        year -= 1;
    }
    const int k = year % 100;
    const int j = year / 100;
    const int h = (day + 13 * (month + 1) / 5 + k + k / 4 + j / 4 + 5 * j) % 7; // 0 = Saturday
    return static_cast<WORD>((h + 6) % 7);                                      // 0 = Sunday
}

SYSTEMTIME split(ULONGLONG ticks)
{
    SYSTEMTIME st{};
    const FILETIME ft = platform::u64ToFileTime(ticks);
    EXPECT_TRUE(FileTimeToSystemTime(&ft, &st)) << ticks;
    return st;
}

SYSTEMTIME fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0)
{
    SYSTEMTIME st{};
    st.wYear = WORD(y);
    st.wMonth = WORD(mo);
    st.wDay = WORD(d);
    st.wHour = WORD(h);
    st.wMinute = WORD(mi);
    st.wSecond = WORD(s);
    st.wMilliseconds = WORD(ms);
    return st;
}

std::string show(const SYSTEMTIME& st)
{
    char text[64];
    std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d.%03d dow %d", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
    return text;
}

TEST(FileTimeToSystemTime, EdgesOfTheRange)
{
    EXPECT_EQ(show(split(0)), "1601-01-01 00:00:00.000 dow 1"); // a Monday
    EXPECT_EQ(show(split(kLastValid)), "30828-09-14 02:48:05.477 dow 4");
    EXPECT_EQ(show(split(platform::kFileTimeUnixEpoch)), "1970-01-01 00:00:00.000 dow 4");
    // Whole days only add days: no time zone, no leap seconds.
    EXPECT_EQ(show(split(platform::kFileTimeUnixEpoch + 86400ull * 10000000 - 1)), "1970-01-01 23:59:59.999 dow 4");
}

TEST(FileTimeToSystemTime, RefusesTheTopBitAndLeavesFieldsAlone)
{
    for (ULONGLONG ticks : {0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull}) {
        const FILETIME ft = platform::u64ToFileTime(ticks);
        SYSTEMTIME st = fields(2001, 2, 3);
        SetLastError(0);
        EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(show(st), show(fields(2001, 2, 3)));
    }
}

TEST(FileTimeToSystemTime, AgreesWithTheCLibraryWhereBothWork)
{
    // From 1970 to 2100 in steps of a little over 3 days and 7 hours, landing on every hour.
    for (std::time_t t = 0; t < 4102444800; t += 3 * 86400 + 7 * 3600 + 61) {
        std::tm tm{};
        ASSERT_NE(gmtime_r(&t, &tm), nullptr);
        const SYSTEMTIME st = split(platform::kFileTimeUnixEpoch + ULONGLONG(t) * 10000000 + 123 * kTicksPerMs);
        ASSERT_EQ(st.wYear, tm.tm_year + 1900) << t;
        ASSERT_EQ(st.wMonth, tm.tm_mon + 1) << t;
        ASSERT_EQ(st.wDay, tm.tm_mday) << t;
        ASSERT_EQ(st.wDayOfWeek, tm.tm_wday) << t;
        ASSERT_EQ(st.wHour, tm.tm_hour) << t;
        ASSERT_EQ(st.wMinute, tm.tm_min) << t;
        ASSERT_EQ(st.wSecond, tm.tm_sec) << t;
        ASSERT_EQ(st.wMilliseconds, 123) << t;
    }
}

TEST(SystemTimeToFileTime, RoundTripsOverTheWholeRange)
{
    // An odd stride visits every part of the range, times of day included.
    const ULONGLONG stride = kLastValid / 7919 + 12345677;
    for (ULONGLONG ticks = 0; ticks <= kLastValid - stride; ticks += stride) {
        const SYSTEMTIME st = split(ticks);
        ASSERT_EQ(st.wDayOfWeek, zellerWeekday(st.wYear, st.wMonth, st.wDay)) << show(st);
        FILETIME back{};
        ASSERT_TRUE(SystemTimeToFileTime(&st, &back)) << show(st);
        ASSERT_EQ(platform::fileTimeToU64(back), ticks - ticks % kTicksPerMs) << show(st);
    }
}

TEST(SystemTimeToFileTime, ValidatesFieldsAndLeapYears)
{
    FILETIME ft{};
    const SYSTEMTIME good[] = {fields(2000, 2, 29), fields(1604, 2, 29), fields(1601, 1, 1),
                               fields(30828, 9, 14, 2, 48, 5, 477), fields(2024, 12, 31, 23, 59, 59, 999)};
    for (const SYSTEMTIME& st : good) EXPECT_TRUE(SystemTimeToFileTime(&st, &ft)) << show(st);
    EXPECT_EQ(platform::fileTimeToU64(ft) % (86400 * 10000000ull), 86399999ull * kTicksPerMs);

    const SYSTEMTIME bad[] = {
        fields(1900, 2, 29), fields(2001, 2, 29), fields(2023, 4, 31), fields(2023, 13, 1), fields(2023, 0, 1),
        fields(2023, 1, 0),  fields(2023, 1, 1, 24), fields(2023, 1, 1, 0, 60), fields(2023, 1, 1, 0, 0, 60),
        fields(2023, 1, 1, 0, 0, 0, 1000), fields(1600, 12, 31), fields(30828, 9, 14, 2, 48, 5, 478),
        fields(30829, 1, 1),
    };
    for (const SYSTEMTIME& st : bad) {
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << show(st);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(Clock, SystemTimeMatchesTheFileTimeClock)
{
    FILETIME before{};
    FILETIME after{};
    SYSTEMTIME now{};
    GetSystemTimeAsFileTime(&before);
    GetSystemTime(&now);
    GetSystemTimeAsFileTime(&after);
    FILETIME nowTicks{};
    ASSERT_TRUE(SystemTimeToFileTime(&now, &nowTicks));
    const ULONGLONG low = platform::fileTimeToU64(before);
    EXPECT_GE(platform::fileTimeToU64(nowTicks), low - low % kTicksPerMs);
    EXPECT_LE(platform::fileTimeToU64(nowTicks), platform::fileTimeToU64(after));

}

TEST(Clock, TickCountIsTheMonotonicClockInMilliseconds)
{
    auto monotonicMs = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<DWORD>(static_cast<ULONGLONG>(ts.tv_sec) * 1000 + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000);
    };
    const DWORD before = monotonicMs();
    const DWORD tick = GetTickCount();
    const DWORD after = monotonicMs();
    // Differences in DWORD arithmetic, so a wrap of the 32-bit count does not matter.
    EXPECT_LE(DWORD(tick - before), DWORD(after - before));
}

// Runs with a fixed time zone so local time is known, and restores the previous one.
class LocalTime : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = std::getenv("TZ");
        _hadTz = tz != nullptr;
        if (tz) _oldTz = tz;
        setenv("TZ", "XST-02:30", 1); // 2 h 30 min east of UTC, no summer time
        tzset();
    }
    void TearDown() override
    {
        if (_hadTz) {
            setenv("TZ", _oldTz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool _hadTz = false;
    std::string _oldTz;
};

TEST_F(LocalTime, FileTimeShiftsByTheZoneOffset)
{
    const FILETIME utc = platform::u64ToFileTime(platform::kFileTimeUnixEpoch);
    FILETIME local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(platform::fileTimeToU64(local) - platform::fileTimeToU64(utc), 9000ull * 10000000);
}

TEST_F(LocalTime, GetLocalTimeMatchesTheWallClock)
{
    // Compare within one second of the C library's view; retry when the second turned over.
    // The precise clock on both sides: time() may lag it by a tick and straddle the turn.
    auto now = [] {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return ts.tv_sec;
    };
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::time_t t0 = now();
        SYSTEMTIME st{};
        GetLocalTime(&st);
        if (now() != t0) continue;
        std::tm tm{};
        localtime_r(&t0, &tm);
        EXPECT_EQ(st.wYear, tm.tm_year + 1900);
        EXPECT_EQ(st.wMonth, tm.tm_mon + 1);
        EXPECT_EQ(st.wDay, tm.tm_mday);
        EXPECT_EQ(st.wDayOfWeek, tm.tm_wday);
        EXPECT_EQ(st.wHour, tm.tm_hour);
        EXPECT_EQ(st.wMinute, tm.tm_min);
        EXPECT_EQ(st.wSecond, tm.tm_sec);
        return;
    }
    FAIL() << "the clock never stayed within one second";
}

} // namespace
