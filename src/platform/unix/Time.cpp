// FILETIME, SYSTEMTIME and the clocks. The calendar arithmetic is done in integers on day
// numbers (platform/Calendar.h), so the whole FILETIME range 1601..30828 works on every system.
#include "platform/Time.h"

#include "platform/Calendar.h"
#include "platform/Memory.h"

#include <ctime>

namespace {

using namespace platform::calendar;

constexpr ULONGLONG kTicksPerMillisecond = 10000;
constexpr ULONGLONG kTicksPerSecond = 10000000;
constexpr ULONGLONG kTicksPerDay = 86400 * kTicksPerSecond;
constexpr std::int64_t kFileTimeEpochDays = daysFromCivil(1601, 1, 1);
// Windows refuses FILETIMEs with the top bit set: they would be negative as LONGLONG.
constexpr ULONGLONG kFirstInvalidFileTime = 0x8000000000000000ull;

ULONGLONG nowTicks()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return platform::kFileTimeUnixEpoch + static_cast<ULONGLONG>(ts.tv_sec) * kTicksPerSecond +
           static_cast<ULONGLONG>(ts.tv_nsec) / 100;
}

// The local time zone's offset from UTC in seconds at the given moment.
long utcOffsetAt(std::time_t moment)
{
    std::tm local{};
    if (!localtime_r(&moment, &local)) return 0;
    return local.tm_gmtoff;
}

} // namespace

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime)
{
    if (!lpFileTime || !lpSystemTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ULONGLONG ticks = platform::fileTimeToU64(*lpFileTime);
    if (ticks >= kFirstInvalidFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto dayNumber = static_cast<std::int64_t>(ticks / kTicksPerDay);
    const ULONGLONG ofDay = ticks % kTicksPerDay;
    const std::int64_t days = kFileTimeEpochDays + dayNumber;
    const CivilDate date = civilFromDays(days);
    const ULONGLONG seconds = ofDay / kTicksPerSecond;

    lpSystemTime->wYear = static_cast<WORD>(date.year);
    lpSystemTime->wMonth = static_cast<WORD>(date.month);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(weekdayFromDays(days));
    lpSystemTime->wDay = static_cast<WORD>(date.day);
    lpSystemTime->wHour = static_cast<WORD>(seconds / 3600);
    lpSystemTime->wMinute = static_cast<WORD>(seconds / 60 % 60);
    lpSystemTime->wSecond = static_cast<WORD>(seconds % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(ofDay % kTicksPerSecond / kTicksPerMillisecond);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime)
{
    if (!lpSystemTime || !lpFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SYSTEMTIME& st = *lpSystemTime;
    // The day of the week is ignored, as on Windows.
    if (st.wYear < 1601 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > daysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
        st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto days = static_cast<ULONGLONG>(daysFromCivil(st.wYear, st.wMonth, st.wDay) - kFileTimeEpochDays);
    // 65535 years of days times a day's ticks stays below 2^64, so this cannot wrap.
    const ULONGLONG ticks = days * kTicksPerDay +
                            (ULONGLONG(st.wHour) * 3600 + ULONGLONG(st.wMinute) * 60 + st.wSecond) * kTicksPerSecond +
                            ULONGLONG(st.wMilliseconds) * kTicksPerMillisecond;
    if (ticks >= kFirstInvalidFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpFileTime = platform::u64ToFileTime(ticks);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime)
{
    if (!lpFileTime || !lpLocalFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Like Windows, the offset in effect now is applied, not the one in effect at the given
    // time (a summer time stamp read in winter is shifted by the winter offset).
    const long offset = utcOffsetAt(std::time(nullptr));
    const ULONGLONG ticks = platform::fileTimeToU64(*lpFileTime);
    const auto shift = static_cast<ULONGLONG>(offset < 0 ? -offset : offset) * kTicksPerSecond;
    if (offset < 0 ? ticks < shift : ticks > ~0ull - shift) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpLocalFileTime = platform::u64ToFileTime(offset < 0 ? ticks - shift : ticks + shift);
    return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    if (lpSystemTimeAsFileTime) *lpSystemTimeAsFileTime = platform::u64ToFileTime(nowTicks());
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    if (!lpSystemTime) return;
    const FILETIME now = platform::u64ToFileTime(nowTicks());
    FileTimeToSystemTime(&now, lpSystemTime);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    if (!lpSystemTime) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // The local offset for this very moment, so the fields match the wall clock in summer too.
    const ULONGLONG utcTicks = platform::kFileTimeUnixEpoch + static_cast<ULONGLONG>(ts.tv_sec) * kTicksPerSecond +
                               static_cast<ULONGLONG>(ts.tv_nsec) / 100;
    const long offset = utcOffsetAt(ts.tv_sec);
    const auto localTicks = static_cast<ULONGLONG>(static_cast<LONGLONG>(utcTicks) +
                                                   static_cast<LONGLONG>(offset) * LONGLONG(kTicksPerSecond));
    const FILETIME local = platform::u64ToFileTime(localTicks);
    FileTimeToSystemTime(&local, lpSystemTime);
}

DWORD GetTickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Wraps after 49.7 days, as the platform's counter does.
    const ULONGLONG ms = static_cast<ULONGLONG>(ts.tv_sec) * 1000 + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000;
    return static_cast<DWORD>(ms);
}
