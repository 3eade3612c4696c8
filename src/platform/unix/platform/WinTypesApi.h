// The basic integer types, result codes and error constants of the Win32/COM subset, with the
// platform's own names and sizes (LONG and ULONG are 32-bit, WCHAR is a 16-bit unit).
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT

using BYTE = std::uint8_t;
using CHAR = char;
using UCHAR = unsigned char;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using INT = std::int32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using FLOAT = float;
using DOUBLE = double;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LCID = std::uint32_t;
using LANGID = std::uint16_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using LPSTR = char*;
using LPCSTR = const char*;

// A UTF-16 code unit. Never wchar_t, which is 32 bits here.
using WCHAR = char16_t;
using OLECHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A wide text literal: OLESTR("text").
#define OLESTR(text) u##text

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// The first window message number a program may give its own meaning.
constexpr UINT WM_USER = 0x0400;

// The answers of a Yes/No/Cancel message box.
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// --- HRESULT helpers -------------------------------------------------------------------------

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT MAKE_HRESULT(unsigned severity, unsigned facility, unsigned code)
{
    return static_cast<HRESULT>((static_cast<std::uint32_t>(severity) << 31) |
                                (static_cast<std::uint32_t>(facility) << 16) |
                                static_cast<std::uint32_t>(code));
}

constexpr unsigned FACILITY_NULL = 0;
constexpr unsigned FACILITY_RPC = 1;
constexpr unsigned FACILITY_DISPATCH = 2;
constexpr unsigned FACILITY_ITF = 4;
constexpr unsigned FACILITY_WIN32 = 7;

constexpr unsigned HRESULT_FACILITY(HRESULT hr) { return (static_cast<std::uint32_t>(hr) >> 16) & 0x1FFF; }
constexpr unsigned HRESULT_CODE(HRESULT hr) { return static_cast<std::uint32_t>(hr) & 0xFFFF; }

// A Win32 error code as an HRESULT; 0 stays 0 and values that already look like HRESULTs stay.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD x)
{
    return static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x)
                                        : static_cast<HRESULT>((x & 0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

constexpr HRESULT HR_BITS(std::uint32_t bits) { return static_cast<HRESULT>(bits); }

// --- Win32 error codes (GetLastError, registry results) --------------------------------------

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_BADKEY = 1010;
constexpr DWORD ERROR_CANTOPEN = 1011;
constexpr DWORD ERROR_CANTREAD = 1012;
constexpr DWORD ERROR_CANTWRITE = 1013;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD RPC_S_SERVER_UNAVAILABLE = 1722;
constexpr DWORD RPC_S_CALL_FAILED = 1726;
constexpr DWORD RPC_S_CALL_FAILED_DNE = 1727;
constexpr DWORD WSAHOST_NOT_FOUND = 11001;
constexpr DWORD WSATRY_AGAIN = 11002;
constexpr DWORD WSANO_DATA = 11004;

// --- HRESULTs ----------------------------------------------------------------------------------

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_UNEXPECTED = HR_BITS(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = HR_BITS(0x80004001);
constexpr HRESULT E_NOINTERFACE = HR_BITS(0x80004002);
constexpr HRESULT E_POINTER = HR_BITS(0x80004003);
constexpr HRESULT E_ABORT = HR_BITS(0x80004004);
constexpr HRESULT E_FAIL = HR_BITS(0x80004005);
constexpr HRESULT E_ACCESSDENIED = HR_BITS(0x80070005);
constexpr HRESULT E_HANDLE = HR_BITS(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = HR_BITS(0x8007000E);
constexpr HRESULT E_INVALIDARG = HR_BITS(0x80070057);

constexpr HRESULT OLE_E_ADVISENOTSUPPORTED = HR_BITS(0x80040003);
constexpr HRESULT OLE_E_NOCONNECTION = HR_BITS(0x80040004);
constexpr HRESULT DV_E_FORMATETC = HR_BITS(0x80040064);
constexpr HRESULT DV_E_LINDEX = HR_BITS(0x80040068);
constexpr HRESULT DV_E_TYMED = HR_BITS(0x80040069);
constexpr HRESULT DV_E_DVASPECT = HR_BITS(0x8004006B);
constexpr HRESULT CLASS_E_NOAGGREGATION = HR_BITS(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = HR_BITS(0x80040111);
constexpr HRESULT REGDB_E_READREGDB = HR_BITS(0x80040150);
constexpr HRESULT REGDB_E_CLASSNOTREG = HR_BITS(0x80040154);
constexpr HRESULT CONNECT_E_NOCONNECTION = HR_BITS(0x80040200);
constexpr HRESULT CONNECT_E_ADVISELIMIT = HR_BITS(0x80040201);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = HR_BITS(0x80040202);
constexpr HRESULT CO_E_NOTINITIALIZED = HR_BITS(0x800401F0);
constexpr HRESULT CO_E_CLASSSTRING = HR_BITS(0x800401F3);
constexpr HRESULT CO_E_APPNOTFOUND = HR_BITS(0x800401F5);
constexpr HRESULT CO_E_DLLNOTFOUND = HR_BITS(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = HR_BITS(0x800401F9);
constexpr HRESULT CO_E_OBJNOTCONNECTED = HR_BITS(0x800401FD);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = HR_BITS(0x80080005);
constexpr HRESULT CO_S_NOTALLINTERFACES = HR_BITS(0x00080012);
constexpr HRESULT RPC_E_CALL_REJECTED = HR_BITS(0x80010001);
constexpr HRESULT RPC_E_CALL_CANCELED = HR_BITS(0x80010002);
constexpr HRESULT RPC_E_SERVER_DIED = HR_BITS(0x80010007);
constexpr HRESULT RPC_E_SERVER_DIED_DNE = HR_BITS(0x80010012);
constexpr HRESULT RPC_E_CALL_COMPLETE = HR_BITS(0x80010117);
constexpr HRESULT CO_E_CANCEL_DISABLED = HR_BITS(0x80010140);
constexpr HRESULT RPC_E_SERVERFAULT = HR_BITS(0x80010105);
constexpr HRESULT RPC_E_DISCONNECTED = HR_BITS(0x80010108);
constexpr HRESULT RPC_E_INVALID_DATA = HR_BITS(0x8001010F);
constexpr HRESULT RPC_E_CHANGED_MODE = HR_BITS(0x80010106);
constexpr HRESULT RPC_E_TOO_LATE = HR_BITS(0x80010119);
constexpr HRESULT RPC_E_TIMEOUT = HR_BITS(0x8001011F);
constexpr HRESULT DISP_E_TYPEMISMATCH = HR_BITS(0x80020005);
constexpr HRESULT DISP_E_BADVARTYPE = HR_BITS(0x80020008);
constexpr HRESULT DISP_E_OVERFLOW = HR_BITS(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = HR_BITS(0x8002000B);
constexpr HRESULT DISP_E_ARRAYISLOCKED = HR_BITS(0x8002000D);
