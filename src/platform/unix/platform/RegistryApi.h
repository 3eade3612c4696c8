// The registry, kept in files in the text format of the platform's registry editor.
// HKEY_CLASSES_ROOT is the read-only merged view of every *.reg file in the classes path;
// HKEY_CURRENT_USER is one file, rewritten whole (temporary file, then rename) on every change;
// a user file that was not read whole is kept aside under another name before the first rewrite,
// and a user file that is a symbolic link stays one (its target is rewritten).
// Key names compare without regard to case; subkeys enumerate in that order. Any thread: the
// store has its own lock, and a handle stays usable after the store is reloaded.
#pragma once

#include "platform/WinTypesApi.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000))))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001))))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002))))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000003))))

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// All functions return a Win32 error code (ERROR_SUCCESS = 0), as on the platform. A bad or
// closed handle gives ERROR_INVALID_HANDLE. A handle has the rights it was opened with, as on the
// platform: KEY_QUERY_VALUE to read values, KEY_ENUMERATE_SUB_KEYS to list subkeys, KEY_SET_VALUE
// and KEY_CREATE_SUB_KEY to change (KEY_READ and KEY_ALL_ACCESS cover the usual cases).
//
// RegConnectRegistryA: a machine name that means this computer (see platform::isThisComputer)
// gives a new handle to the local HKEY_CLASSES_ROOT or HKEY_CURRENT_USER, to be closed with
// RegCloseKey; any other name fails with ERROR_BAD_NETPATH: remote computers are not served.
// Other roots give ERROR_INVALID_PARAMETER.
LONG RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult);
// A subkey path with backslashes; null or empty opens a new handle to hKey itself.
// ERROR_FILE_NOT_FOUND when a key on the path does not exist, ERROR_BAD_PATHNAME for a path that
// starts with a backslash or has an empty name in it. Of HKEY_LOCAL_MACHINE only SOFTWARE\Classes
// is served (the classes root under another name); HKEY_USERS serves nothing.
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Creates the missing keys of the path (HKEY_CURRENT_USER only; ERROR_ACCESS_DENIED in the
// read-only classes root).
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     void* lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
LONG RegCloseKey(HKEY hKey);
// lpcchName holds the buffer size in characters including the terminator; on success it is set
// to the name's length without it. ERROR_MORE_DATA when the name does not fit,
// ERROR_NO_MORE_ITEMS past the last subkey.
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, void* lpftLastWriteTime);
// Null or empty lpValueName reads the default value. Strings come back in the system code page
// with their terminator counted in *lpcbData. A null lpData asks for the size; a buffer too
// small gives ERROR_MORE_DATA and the size needed. ERROR_FILE_NOT_FOUND for a missing value.
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
// lpcchValueName as for RegEnumKeyExA; values enumerate in name order.
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Stores a value and rewrites the user file. When the file cannot be written the old file stays
// whole, the value is not changed in memory either, and the result is ERROR_WRITE_FAULT (or
// ERROR_ACCESS_DENIED for the classes root).
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

