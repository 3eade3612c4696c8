// FILETIME (100-ns intervals since 1601-01-01), SYSTEMTIME (calendar fields) and the clock.
#pragma once

#include "platform/WinTypesApi.h"

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
static_assert(sizeof(FILETIME) == 8 && alignof(FILETIME) == 4);
using LPFILETIME = FILETIME*;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;   // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

// Splits a FILETIME into calendar fields without any time-zone change. Fails (FALSE, last error
// ERROR_INVALID_PARAMETER, fields untouched) beyond the range Windows accepts: values with the
// top bit set, that is after 30828-09-14.
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
// The reverse; fails for fields out of range (month 13, day 31 of April, year before 1601 ...).
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
void GetLocalTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
DWORD GetTickCount();

