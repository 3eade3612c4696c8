#include "platform/ComRuntime.h"
#include "platform/Guid.h"

#include "platform/RegistryFiles.h"
#include "platform/Text.h"
#include "platform/remote/AgentHosts.h"
#include "platform/remote/RemoteObjects.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>

namespace {

// The loader's text for its last failure on this thread. The loader keeps that text in a buffer
// of the thread until it is asked twice; a worker thread that ends without the second question
// leaves the buffer behind, so it is asked twice here.
std::string takeLoaderError(const std::string& fallback)
{
    const char* reason = dlerror();
    std::string text = reason ? reason : fallback;
    dlerror();
    return text;
}

} // namespace

namespace {

// --- Process-wide COM state ---------------------------------------------------------------

std::mutex stateLock;
int initCount = 0;  // successful CoInitializeEx calls not yet balanced by CoUninitialize
DWORD threadingModel = COINIT_MULTITHREADED;
bool securitySet = false;

DWORD modelOf(DWORD dwCoInit)
{
    return (dwCoInit & COINIT_APARTMENTTHREADED) ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
}

// --- In-process server libraries ----------------------------------------------------------

// Libraries stay loaded for the life of the process, as the platform keeps its DLLs: objects
// and class factories handed out may live on in any thread.
std::mutex libraryLock;
std::map<std::string, DllGetClassObjectFn> libraries;  // by the path that was loaded
thread_local std::string lastLoadFailure;

// %NAME% is replaced by the environment variable's value; an unknown name stays as written.
std::string expandEnvironment(const std::string& text)
{
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find('%', pos);
        if (open == std::string::npos) break;
        const std::size_t close = text.find('%', open + 1);
        if (close == std::string::npos) break;
        out.append(text, pos, open - pos);
        const std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value) {
            out += value;
            pos = close + 1;
        } else {
            // Keep the first '%' and look again from the second, which may open a known name.
            out.append(text, open, close - open);
            pos = close;
        }
    }
    out.append(text, pos, std::string::npos);
    return out;
}

// The library that serves a class, from CLSID\{...}\InprocServer32; an HRESULT on failure.
HRESULT libraryPath(REFCLSID rclsid, std::string& path)
{
    const std::string keyName = "CLSID\\" + platform::guidToString(rclsid) + "\\InprocServer32";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return REGDB_E_CLASSNOTREG;

    HRESULT hr = S_OK;
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        hr = REGDB_E_CLASSNOTREG;
    } else if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        hr = REGDB_E_READREGDB;
    } else {
        std::string value(size, '\0');
        status = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(value.data()), &size);
        if (status != ERROR_SUCCESS) {
            hr = REGDB_E_READREGDB;
        } else {
            value.resize(std::min<std::size_t>(size, value.size()));
            while (!value.empty() && value.back() == '\0') value.pop_back();
            if (type == REG_EXPAND_SZ) value = expandEnvironment(value);
            if (value.empty()) {
                hr = REGDB_E_CLASSNOTREG;
            } else if (value.front() != '/') {
                std::string folder;
                if (platform::registry::valueOrigin(key, "", folder) && !folder.empty())
                    value = folder + (folder.back() == '/' ? "" : "/") + value;
                // Without a known origin the name goes to the loader as written (a bare name is
                // searched for on the library path).
            }
            path = std::move(value);
        }
    }
    RegCloseKey(key);
    return hr;
}

HRESULT classObjectEntry(REFCLSID rclsid, DllGetClassObjectFn& entry)
{
    std::string path;
    const HRESULT hr = libraryPath(rclsid, path);
    if (FAILED(hr)) return hr;

    {
        std::lock_guard lock(libraryLock);
        if (const auto found = libraries.find(path); found != libraries.end()) {
            entry = found->second;
            return S_OK;
        }
    }
    // Loaded without the table's lock: a library's start-up code may itself create objects.
    // Two threads loading the same library at once only raise the loader's count for it.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        lastLoadFailure = takeLoaderError(path + ": cannot be loaded");
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    }
    void* symbol = dlsym(library, "DllGetClassObject");
    // A library without the export stays loaded (it cannot be unloaded safely in general) but
    // is not remembered, so that a rebuilt library at the same path is looked at again.
    if (!symbol) {
        takeLoaderError("");
        lastLoadFailure = path + ": no DllGetClassObject";
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    entry = reinterpret_cast<DllGetClassObjectFn>(symbol);
    std::lock_guard lock(libraryLock);
    libraries.emplace(path, entry);
    return S_OK;
}

// The checks every creation makes before it looks at the registry.
HRESULT checkRequest(DWORD dwClsCtx, const COSERVERINFO* serverInfo)
{
    if (!platform::comInitialized()) return CO_E_NOTINITIALIZED;
    if (serverInfo && serverInfo->pwszName && serverInfo->pwszName[0] != 0) {
        const std::string name = platform::utf16ToUtf8(serverInfo->pwszName);
        if (!platform::isThisComputer(name.c_str())) return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    }
    if (!(dwClsCtx & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    return S_OK;
}


// The computer a COSERVERINFO names when it is not this one; "" for this one.
std::string remoteHostOf(const COSERVERINFO* serverInfo)
{
    if (!serverInfo || !serverInfo->pwszName || serverInfo->pwszName[0] == 0) return {};
    return platform::remote::remoteHostName(platform::utf16ToUtf8(serverInfo->pwszName));
}

// Asks the server library for a class object. A server is outside input: an exception that
// escapes it or a success without an object becomes an error code here.
HRESULT classObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    DllGetClassObjectFn entry = nullptr;
    const HRESULT hr = classObjectEntry(rclsid, entry);
    if (FAILED(hr)) return hr;
    *ppv = nullptr;
    HRESULT result;
    try {
        result = entry(rclsid, riid, ppv);
    } catch (...) {
        return RPC_E_SERVERFAULT;
    }
    if (SUCCEEDED(result) && !*ppv) return CO_E_ERRORINDLL;
    if (FAILED(result)) *ppv = nullptr;
    return result;
}

} // namespace

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit)
{
    if (pvReserved) return E_INVALIDARG;
    std::lock_guard lock(stateLock);
    const DWORD model = modelOf(dwCoInit);
    if (initCount > 0) {
        // Objects are free-threaded whatever was asked for, but a caller that asks for another
        // model than the first one gets told, as it would on the platform.
        if (model != threadingModel) return RPC_E_CHANGED_MODE;
        ++initCount;
        return S_FALSE;
    }
    threadingModel = model;
    initCount = 1;
    return S_OK;
}

void CoUninitialize()
{
    std::lock_guard lock(stateLock);
    if (initCount > 0) --initCount;
}

HRESULT CoInitializeSecurity(void*, LONG, void*, void*, DWORD, DWORD, void*, DWORD, void*)
{
    // Nothing is ever marshalled, so the settings have no effect beyond being set once.
    std::lock_guard lock(stateLock);
    if (securitySet) return RPC_E_TOO_LATE;
    securitySet = true;
    return S_OK;
}

namespace {
thread_local int cancellationEnabled = 0;
} // namespace

HRESULT CoEnableCallCancellation(LPVOID pReserved)
{
    if (pReserved) return E_INVALIDARG;
    ++cancellationEnabled;
    return S_OK;
}

HRESULT CoDisableCallCancellation(LPVOID pReserved)
{
    if (pReserved) return E_INVALIDARG;
    if (cancellationEnabled == 0) return CO_E_CANCEL_DISABLED;
    --cancellationEnabled;
    return S_OK;
}

HRESULT CoCancelCall(DWORD, ULONG)
{
    return RPC_E_CALL_COMPLETE;
}

DWORD GetCurrentThreadId()
{
    return static_cast<DWORD>(::gettid());
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO* pServerInfo, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    const HRESULT hr = checkRequest(dwClsContext, pServerInfo);
    if (FAILED(hr)) return hr;
    return classObject(rclsid, riid, ppv);
}

HRESULT CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx, COSERVERINFO* pServerInfo,
                           DWORD dwCount, MULTI_QI* pResults)
{
    if (dwCount == 0 || !pResults) return E_INVALIDARG;
    for (DWORD i = 0; i < dwCount; ++i) {
        if (!pResults[i].pIID) return E_INVALIDARG;
        pResults[i].pItf = nullptr;
    }
    auto failAll = [&](HRESULT hr) {
        for (DWORD i = 0; i < dwCount; ++i) pResults[i].hr = hr;
        return hr;
    };
    IUnknown* object = nullptr;
    HRESULT hr = S_OK;
    // Another computer's server is created by the agent there.
    if (const std::string host = remoteHostOf(pServerInfo); !host.empty())
        return platform::remote::createRemoteInstance(host, rclsid, punkOuter, dwClsCtx, dwCount, pResults);
    hr = checkRequest(dwClsCtx, pServerInfo);
    if (FAILED(hr)) return failAll(hr);

    IClassFactory* factory = nullptr;
    hr = classObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return failAll(hr);

    try {
        hr = factory->CreateInstance(punkOuter, IID_IUnknown, reinterpret_cast<void**>(&object));
        if (SUCCEEDED(hr) && !object) hr = CO_E_ERRORINDLL;
    } catch (...) {
        hr = RPC_E_SERVERFAULT;
    }
    factory->Release();
    if (FAILED(hr)) return failAll(hr);

    return platform::answerQueries(object, dwCount, pResults);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    MULTI_QI result{&riid, nullptr, S_OK};
    const HRESULT hr = CoCreateInstanceEx(rclsid, pUnkOuter, dwClsContext, nullptr, 1, &result);
    if (FAILED(hr)) return FAILED(result.hr) ? result.hr : hr;
    *ppv = result.pItf;
    return S_OK;
}

namespace platform {

std::string computerName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

std::string activationDiagnostic()
{
    return lastLoadFailure;
}

HRESULT cancelOutgoingCall(DWORD threadId)
{
    return CoCancelCall(threadId, 0);
}

bool comInitialized()
{
    std::lock_guard lock(stateLock);
    return initCount > 0;
}

} // namespace platform
