// DATE <-> SYSTEMTIME. A DATE counts days from 1899-12-30; its fraction is the time of day. For a
// negative DATE the fraction still counts forward from midnight: -1.25 is 1899-12-29 06:00.
// Like the platform, both directions work in whole seconds (milliseconds are ignored on the way
// in and 0 on the way out) and accept the years 100 to 9999.
#include "platform/Calendar.h"
#include "platform/Variant.h"

#include <cmath>

namespace {

using namespace platform::calendar;

constexpr std::int64_t kDateEpochDays = daysFromCivil(1899, 12, 30);
constexpr double kMinDate = -657434.0; // 0100-01-01
constexpr double kMaxDate = 2958465.0; // 9999-12-31
constexpr std::int64_t kSecondsPerDay = 86400;

} // namespace

INT SystemTimeToVariantTime(const SYSTEMTIME* lpSystemTime, DOUBLE* pvtime)
{
    if (!lpSystemTime || !pvtime) return FALSE;
    const SYSTEMTIME& st = *lpSystemTime;
    std::int64_t year = st.wYear;
    // Two-digit years follow the automation window: 0..29 are 2000..2029, 30..99 are 1930..1999.
    if (year < 30) {
        year += 2000;
    } else if (year < 100) {
        year += 1900;
    }
    if (year > 9999 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 || st.wDay > daysInMonth(year, st.wMonth) ||
        st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59) {
        return FALSE;
    }
    const std::int64_t days = daysFromCivil(year, st.wMonth, st.wDay) - kDateEpochDays;
    const double fraction = double(st.wHour * 3600 + st.wMinute * 60 + st.wSecond) / double(kSecondsPerDay);
    *pvtime = days >= 0 ? double(days) + fraction : double(days) - fraction;
    return TRUE;
}

INT VariantTimeToSystemTime(DOUBLE vtime, SYSTEMTIME* lpSystemTime)
{
    if (!lpSystemTime) return FALSE;
    // Whole days up to 9999-12-31 23:59:59 and down to 0100-01-01 (the fraction of a negative
    // DATE adds time, so -657434.5 is still 0100-01-01 12:00).
    if (!(vtime > kMinDate - 1.0 && vtime < kMaxDate + 1.0)) return FALSE;
    const double whole = std::trunc(vtime);
    std::int64_t seconds = std::llround(std::fabs(vtime - whole) * double(kSecondsPerDay));
    auto dayIndex = static_cast<std::int64_t>(whole);
    if (seconds >= kSecondsPerDay) {
        // Rounded up to the next midnight; for negative dates that is the day nearer zero too.
        seconds -= kSecondsPerDay;
        dayIndex += 1;
    }
    const std::int64_t days = dayIndex + kDateEpochDays;
    const CivilDate date = civilFromDays(days);
    if (date.year < 100 || date.year > 9999) return FALSE;

    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(date.year);
    st.wMonth = static_cast<WORD>(date.month);
    st.wDay = static_cast<WORD>(date.day);
    st.wDayOfWeek = static_cast<WORD>(weekdayFromDays(days));
    st.wHour = static_cast<WORD>(seconds / 3600);
    st.wMinute = static_cast<WORD>(seconds / 60 % 60);
    st.wSecond = static_cast<WORD>(seconds % 60);
    st.wMilliseconds = 0;
    *lpSystemTime = st;
    return TRUE;
}
