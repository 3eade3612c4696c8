// A reference-counted base for objects that implement interfaces, and a smart pointer that keeps
// reference counting out of sight.
#pragma once

#include "platform/Guid.h"

#include <atomic>
#include <tuple>
#include <type_traits>
#include <utility>

namespace platform {

// The IID of an interface type.
template <class Interface>
const IID& iidOf()
{
    return sdk::interfaceId<Interface>();
}

// Owns one reference to a COM interface. Putting a new pointer releases the old one first;
// there is deliberately no operator& (use put()), so a reference is never leaked by accident.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference to p.
    explicit ComPtr(T* p) : _p(p) { if (_p) _p->AddRef(); }
    ComPtr(const ComPtr& o) : _p(o._p) { if (_p) _p->AddRef(); }
    ComPtr(ComPtr&& o) noexcept : _p(std::exchange(o._p, nullptr)) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(const ComPtr& o)
    {
        if (this != &o) {
            T* old = std::exchange(_p, o._p);
            if (_p) _p->AddRef();
            if (old) old->Release();
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept
    {
        if (this != &o) {
            T* old = std::exchange(_p, std::exchange(o._p, nullptr));
            if (old) old->Release();
        }
        return *this;
    }

    T* get() const { return _p; }
    T* operator->() const { return _p; }
    explicit operator bool() const { return _p != nullptr; }

    // Releases the held reference, then gives the address to fill (an out parameter).
    T** put() { reset(); return &_p; }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

    void reset() { if (T* old = std::exchange(_p, nullptr)) old->Release(); }
    // Takes over a reference the caller already owns.
    void attach(T* p) { reset(); _p = p; }
    // Gives the reference away without releasing it.
    T* detach() { return std::exchange(_p, nullptr); }

    template <class U>
    HRESULT as(ComPtr<U>& out) const
    {
        if (!_p) return E_POINTER;
        return _p->QueryInterface(iidOf<U>(), out.putVoid());
    }

private:
    T* _p = nullptr;
};

// Implements IUnknown for an object that implements the given interfaces: an atomic reference
// count that starts at 0, QueryInterface over the listed IIDs (IID_IUnknown answers the first
// interface), and deletion when the count returns to 0.
template <class... Interfaces>
class ComObject : public Interfaces... {
    static_assert(sizeof...(Interfaces) > 0);
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(static_cast<First*>(this));
        } else {
            ((*ppv == nullptr && IsEqualIID(riid, iidOf<Interfaces>()) ? (*ppv = static_cast<Interfaces*>(this)) : nullptr), ...);
            if (!*ppv && !queryExtra(riid, ppv)) return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++_refs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = --_refs;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    LONG refCount() const { return _refs.load(); }
    IUnknown* unknown() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;
    // Lets a derived class answer further IIDs (for example a base interface of its own);
    // must store an interface pointer in *ppv and return true, without adding a reference.
    virtual bool queryExtra(REFIID, void**) { return false; }

private:
    std::atomic<LONG> _refs{0};
};

} // namespace platform
