// The class objects of an in-process server library: one factory per class, and the lookup its
// exported DllGetClassObject answers with. Any thread.
#pragma once

#include "platform/Unknown.h"

#include <span>

namespace servers::kit {

// Makes a new object and answers the interface asked for (the caller owns that reference).
using CreateFunction = HRESULT (*)(REFIID riid, void** ppv);

struct ClassEntry {
    CLSID clsid;
    CreateFunction create;
};

class ClassFactory : public platform::ComObject<IClassFactory> {
public:
    explicit ClassFactory(CreateFunction create) : _create(create) {}

    // Aggregation is not offered: CLASS_E_NOAGGREGATION for an outer object.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
    // The libraries stay loaded for the life of the process, so the lock only counts.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

private:
    CreateFunction _create;
};

// What DllGetClassObject answers for a library serving these classes:
// CLASS_E_CLASSNOTAVAILABLE for a class not among them.
HRESULT getClassObject(std::span<const ClassEntry> classes, REFCLSID rclsid, REFIID riid, void** ppv);

// Creates T (new T(args...)) and asks it for riid; the object dies again if it lacks riid.
template <class T, class... Args>
HRESULT createObject(REFIID riid, void** ppv, Args&&... args)
{
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    platform::ComPtr<T> object(new T(std::forward<Args>(args)...));
    return object->QueryInterface(riid, ppv);
}

} // namespace servers::kit
