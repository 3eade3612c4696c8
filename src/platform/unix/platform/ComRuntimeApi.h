// COM start-up and object creation. The process has one multithreaded apartment; once any
// thread has called CoInitializeEx, every thread may create and call objects. Objects of this
// computer are created from in-process servers: shared libraries named by the class's
// InprocServer32 key in the classes root, exporting DllGetClassObject.
#pragma once

#include "platform/UnknownApi.h"

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

constexpr DWORD RPC_C_AUTHN_LEVEL_DEFAULT = 0;
constexpr DWORD RPC_C_AUTHN_LEVEL_NONE = 1;
constexpr DWORD RPC_C_AUTHN_LEVEL_CONNECT = 2;
constexpr DWORD RPC_C_AUTHN_LEVEL_PKT = 4;
constexpr DWORD RPC_C_IMP_LEVEL_IDENTIFY = 2;
constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
constexpr DWORD EOAC_NONE = 0;

struct COAUTHINFO;
struct COSERVERINFO {
    DWORD dwReserved1;
    LPWSTR pwszName;
    COAUTHINFO* pAuthInfo;
    DWORD dwReserved2;
};

struct MULTI_QI {
    const IID* pIID;
    IUnknown* pItf;
    HRESULT hr;
};

// Process-wide and counted, any thread: S_OK the first time, S_FALSE when already initialised,
// RPC_E_CHANGED_MODE when asked for another model than the first call's (an apartment-threaded
// one after the multithreaded one, the only model served here: objects are free-threaded
// whatever was asked for), E_INVALIDARG for a non-null pvReserved. COM stays initialised until
// every successful call has been balanced by CoUninitialize.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();
// Records the process's security settings (nothing is marshalled, so they have no further
// effect); RPC_E_TOO_LATE on a second call.
HRESULT CoInitializeSecurity(void* pSecDesc, LONG cAuthSvc, void* asAuthSvc, void* pReserved1, DWORD dwAuthnLevel,
                             DWORD dwImpLevel, void* pAuthList, DWORD dwCapabilities, void* pReserved3);

// Call cancellation. Every object here runs in this process, and a call into the same process
// cannot be cancelled: enabling and disabling succeed (counted per thread, as on the system),
// and CoCancelCall answers RPC_E_CALL_COMPLETE, there being no outgoing call to cancel.
HRESULT CoEnableCallCancellation(LPVOID pReserved);
HRESULT CoDisableCallCancellation(LPVOID pReserved);
HRESULT CoCancelCall(DWORD dwThreadId, ULONG ulTimeout);
// The calling thread's number, unique while the thread runs.
DWORD GetCurrentThreadId();

// Creates an object and asks it for each interface of pResults.
// Any thread; the pointers in pResults belong to the caller, who releases each pItf.
// - E_INVALIDARG for no entries or an entry without an IID.
// - CO_E_NOTINITIALIZED before any CoInitializeEx.
// - A computer name other than this computer's (see platform::isThisComputer) fails with
//   HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE): remote computers are not served.
// - REGDB_E_CLASSNOTREG when the class has no InprocServer32 or the context excludes in-process
//   servers; HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) when the library does not load,
//   HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND) when it lacks DllGetClassObject; REGDB_E_READREGDB
//   when the InprocServer32 value is not a string. A relative library path is taken relative to
//   the folder of the .reg file that declared it; REG_EXPAND_SZ expands %NAME% from the
//   environment. A failure of DllGetClassObject or of the class factory is returned as it
//   stands; a server that throws gives RPC_E_SERVERFAULT, one that reports success without an
//   object CO_E_ERRORINDLL. Libraries are never unloaded.
// - When creation fails, every entry's hr is the failure.
// - S_OK when every interface was obtained, CO_S_NOTALLINTERFACES when some, E_NOINTERFACE when
//   none; each entry's hr tells.
HRESULT CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx, COSERVERINFO* pServerInfo,
                           DWORD dwCount, MULTI_QI* pResults);
// One interface of this computer; the result of asking for it, or the failure of creation.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
// The class object itself (what DllGetClassObject answers), with the checks of CoCreateInstanceEx.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO* pServerInfo, REFIID riid, LPVOID* ppv);

// What an in-process server library exports.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

