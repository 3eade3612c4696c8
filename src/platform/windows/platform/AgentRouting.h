// A computer written "ssh:name" is reached through its agent (platform/remote), as the Linux
// layer reaches every other computer: the calls that walk a computer's classes root and create
// its servers, and the system's text of a failure's code, go through this layer's functions of
// the same names, which hand every other computer, key and code to the system unchanged. Plain
// computer names keep the system's remote registry and DCOM. Included by the gateway after the
// SDK, so that every caller takes this way without knowing it.
#pragma once

namespace platform::routed {

LONG WINAPI RegConnectRegistryA(LPCSTR machineName, HKEY key, PHKEY result);
LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPSTR className,
                          LPDWORD classSize, PFILETIME lastWritten);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LONG WINAPI RegCloseKey(HKEY key);
HRESULT WINAPI CoCreateInstanceEx(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* serverInfo, DWORD count,
                                  MULTI_QI* results);
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                            va_list* arguments);

} // namespace platform::routed

#define RegConnectRegistryA platform::routed::RegConnectRegistryA
#define RegOpenKeyExA platform::routed::RegOpenKeyExA
#define RegEnumKeyExA platform::routed::RegEnumKeyExA
#define RegQueryValueExA platform::routed::RegQueryValueExA
#define RegCloseKey platform::routed::RegCloseKey
#define CoCreateInstanceEx platform::routed::CoCreateInstanceEx
#define FormatMessageA platform::routed::FormatMessageA
