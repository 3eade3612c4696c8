#include "servers/kit/ClassFactory.h"

#include <atomic>

namespace servers::kit {

namespace {
std::atomic<LONG> g_locks{0};
}

HRESULT ClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject)
{
    if (!ppvObject) return E_INVALIDARG;
    *ppvObject = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    return _create(riid, ppvObject);
}

HRESULT ClassFactory::LockServer(BOOL fLock)
{
    if (fLock) ++g_locks;
    else --g_locks;
    return S_OK;
}

HRESULT getClassObject(std::span<const ClassEntry> classes, REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    for (const ClassEntry& entry : classes) {
        if (IsEqualCLSID(entry.clsid, rclsid)) {
            platform::ComPtr<ClassFactory> factory(new ClassFactory(entry.create));
            return factory->QueryInterface(riid, ppv);
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

} // namespace servers::kit
