// A stand-in COM object whose reference count the value tests read directly; it lives on the
// test's stack and is never deleted through Release. Test thread only.
#pragma once

#include "platform/Unknown.h"

namespace platform::testing {

class CountingUnknown : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override
    {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

    int refs = 1; // the test's own reference
};

} // namespace platform::testing
