// The system's texts for error codes: Win32 error codes and the HRESULTs this program can meet
// (HRESULT_FROM_WIN32 forms included), each ending in CR LF like the platform's own texts.
// OPC-specific codes have no text. Any thread.
#pragma once

#include "platform/WinTypesApi.h"

#include <cstdarg>

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;

constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr WORD SUBLANG_NEUTRAL = 0x00;
constexpr LANGID MAKELANGID(WORD primary, WORD sub) { return static_cast<LANGID>((sub << 10) | primary); }

using HLOCAL = void*;

// Only FORMAT_MESSAGE_FROM_SYSTEM is served (ERROR_INVALID_PARAMETER without it or with
// FORMAT_MESSAGE_FROM_STRING); lpSource and Arguments are ignored. With
// FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is really an LPSTR* that receives a buffer of at least
// nSize characters to free with LocalFree; otherwise nSize is the size of lpBuffer in characters.
// Returns the number of characters stored without the terminator; 0 with ERROR_MR_MID_NOT_FOUND
// when the code has no text (ERROR_INSUFFICIENT_BUFFER when nSize is too small). A Win32 code
// and its HRESULT_FROM_WIN32 form read the same. The texts are English: dwLanguageId may be 0,
// the user or system default, or any English language, else ERROR_RESOURCE_LANG_NOT_FOUND.
// Inserts are never processed; the line-width bits are ignored (every text is one line).
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);
HLOCAL LocalFree(HLOCAL hMem);

constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;
