// FILETIME as a 64-bit count and back.
#pragma once

#include "platform/WinTypes.h"

namespace platform {
// 100-ns ticks between 1601-01-01 and 1970-01-01.
constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ull;
inline ULONGLONG fileTimeToU64(const FILETIME& ft) { return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
inline FILETIME u64ToFileTime(ULONGLONG v) { return FILETIME{DWORD(v), DWORD(v >> 32)}; }
} // namespace platform
