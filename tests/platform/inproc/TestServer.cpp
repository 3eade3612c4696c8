// The in-process test server: one object class and class factories that misbehave on purpose.

#include "TestServer.h"

#include <atomic>
#include <stdexcept>

namespace {

std::atomic<LONG> liveObjects{0};

// Counts itself among the library's live objects.
class Counted {
protected:
    Counted() { ++liveObjects; }
    ~Counted() { --liveObjects; }
};

class ValueObject final : public platform::ComObject<ITestValue>, private Counted {
public:
    HRESULT STDMETHODCALLTYPE GetValue(LONG* value) override
    {
        if (!value) return E_POINTER;
        *value = _value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetValue(LONG value) override
    {
        _value = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE LiveObjects(LONG* count) override
    {
        if (!count) return E_POINTER;
        *count = liveObjects.load();
        return S_OK;
    }

private:
    std::atomic<LONG> _value{0};
};

enum class Behaviour { create, fail, toss };

class Factory final : public platform::ComObject<IClassFactory>, private Counted {
public:
    explicit Factory(Behaviour behaviour) : _behaviour(behaviour) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        switch (_behaviour) {
        case Behaviour::fail:
            return E_ACCESSDENIED;
        case Behaviour::toss:
            throw std::runtime_error("the test factory throws");
        case Behaviour::create:
            break;
        }
        auto* object = new ValueObject;
        object->AddRef();
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Behaviour _behaviour;
};

} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    Behaviour behaviour;
    if (IsEqualCLSID(rclsid, CLSID_TestValue) || IsEqualCLSID(rclsid, CLSID_TestValueRelative) ||
        IsEqualCLSID(rclsid, CLSID_TestValueExpand))
        behaviour = Behaviour::create;
    else if (IsEqualCLSID(rclsid, CLSID_TestFailingFactory))
        behaviour = Behaviour::fail;
    else if (IsEqualCLSID(rclsid, CLSID_TestThrowingFactory))
        behaviour = Behaviour::toss;
    else
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new Factory(behaviour);
    factory->AddRef();
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}
