// Conversions between 8-bit text and UTF-16. The system ("ANSI") code page here is UTF-8, the
// character set of every current Linux locale, and the console needs no OEM conversion: CP_ACP,
// CP_OEMCP, CP_THREAD_ACP and CP_UTF8 all mean UTF-8. Any thread.
#pragma once

#include "platform/WinTypesApi.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF8 = 65001;

constexpr DWORD MB_PRECOMPOSED = 0x00000001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;

UINT GetACP();
UINT GetOEMCP();

// As on the platform: cbMultiByte/cchWideChar of -1 means "up to and including the terminator";
// an output size of 0 asks for the size needed. Returns the number of units written (or needed),
// 0 on failure with the last error set (ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER,
// ERROR_NO_UNICODE_TRANSLATION with the *_ERR_INVALID_CHARS flags). Malformed input is replaced
// by U+FFFD unless those flags are given; unpaired surrogates likewise on the way to UTF-8.
// lpUsedDefaultChar, when given, tells whether a replacement was made.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, BOOL* lpUsedDefaultChar);

// Length of a zero-terminated UTF-16 text in units (0 for null).
int lstrlenW(LPCWSTR text);

