// SAFEARRAY. Every descriptor made here is one block from the task allocator:
//   offset 0   16 bytes  hidden: an IID (FADF_HAVEIID) or, in its last 4 bytes, the VARTYPE
//                        (FADF_HAVEVARTYPE), where the platform keeps them
//   offset 16  ...       the descriptor with cDims bounds; the SAFEARRAY* points here
// The data is a second block, zero-filled. Elements are laid out with the leftmost index
// varying fastest, and the descriptor stores the bounds in reverse (rgsabound[0] = rightmost).
#include "platform/Variant.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kHidden = 16;
constexpr USHORT kNotOwnedFeatures = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;
constexpr ULONG kMaxLocks = 0xFFFF;

constexpr IID kIID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The bounds through a plain pointer: the descriptor is declared with one bound but allocated
// with cDims of them.
SAFEARRAYBOUND* boundsOf(SAFEARRAY* psa) { return &psa->rgsabound[0]; }

BYTE* hiddenOf(SAFEARRAY* psa) { return reinterpret_cast<BYTE*>(psa) - kHidden; }

std::size_t descriptorBytes(UINT cDims)
{
    return offsetof(SAFEARRAY, rgsabound) + std::size_t(cDims) * sizeof(SAFEARRAYBOUND);
}

// IDispatch derives from IUnknown and is only declared here; its first three slots are IUnknown's.
IUnknown* asUnknown(void* interfacePointer) { return static_cast<IUnknown*>(interfacePointer); }

ULONG elementSize(VARTYPE vt)
{
    switch (vt) {
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
    case VT_INT_PTR:
    case VT_UINT_PTR:
        return sizeof(void*);
    case VT_DECIMAL:
        return sizeof(DECIMAL);
    case VT_VARIANT:
        return sizeof(VARIANT);
    default:
        return static_cast<ULONG>(platform::scalarValueSize(vt));
    }
}

bool cellCount(SAFEARRAY* psa, std::size_t& count)
{
    count = 1;
    const SAFEARRAYBOUND* bounds = boundsOf(psa);
    for (UINT i = 0; i < psa->cDims; ++i) {
        const std::size_t n = bounds[i].cElements;
        if (n != 0 && count > std::numeric_limits<std::size_t>::max() / n) return false;
        count *= n;
    }
    return true;
}

bool dataBytes(SAFEARRAY* psa, std::size_t& bytes)
{
    std::size_t count = 0;
    if (!cellCount(psa, count)) return false;
    if (psa->cbElements != 0 && count > std::numeric_limits<std::size_t>::max() / psa->cbElements) return false;
    bytes = count * psa->cbElements;
    return true;
}

// Frees what the elements own and zeroes them.
void releaseElements(SAFEARRAY* psa)
{
    std::size_t count = 0;
    if (!psa->pvData || !cellCount(psa, count)) return;
    if (psa->fFeatures & FADF_BSTR) {
        auto* cells = static_cast<BSTR*>(psa->pvData);
        for (std::size_t i = 0; i < count; ++i) {
            SysFreeString(cells[i]);
            cells[i] = nullptr;
        }
    } else if (psa->fFeatures & FADF_VARIANT) {
        auto* cells = static_cast<VARIANT*>(psa->pvData);
        for (std::size_t i = 0; i < count; ++i) {
            // A tag VariantClear does not know owns nothing it could free; drop it.
            if (FAILED(VariantClear(&cells[i]))) VariantInit(&cells[i]);
        }
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto* cells = static_cast<void**>(psa->pvData);
        for (std::size_t i = 0; i < count; ++i) {
            if (cells[i]) asUnknown(cells[i])->Release();
            cells[i] = nullptr;
        }
    }
}

HRESULT cellOffset(SAFEARRAY* psa, const LONG* indices, std::size_t& offset)
{
    const SAFEARRAYBOUND* bounds = boundsOf(psa);
    std::size_t cell = 0;
    std::size_t stride = 1;
    for (UINT d = 0; d < psa->cDims; ++d) {
        // indices[0] is the leftmost dimension, stored last.
        const SAFEARRAYBOUND& b = bounds[psa->cDims - 1 - d];
        const std::int64_t relative = std::int64_t(indices[d]) - b.lLbound;
        if (relative < 0 || relative >= std::int64_t(b.cElements)) return DISP_E_BADINDEX;
        cell += static_cast<std::size_t>(relative) * stride;
        stride *= b.cElements;
    }
    offset = cell * psa->cbElements;
    return S_OK;
}

void setFeaturesFor(SAFEARRAY* psa, VARTYPE vt)
{
    std::memset(hiddenOf(psa), 0, kHidden);
    switch (vt) {
    case VT_UNKNOWN:
        psa->fFeatures = FADF_HAVEIID | FADF_UNKNOWN;
        std::memcpy(hiddenOf(psa), &IID_IUnknown, sizeof(IID));
        break;
    case VT_DISPATCH:
        psa->fFeatures = FADF_HAVEIID | FADF_DISPATCH;
        std::memcpy(hiddenOf(psa), &kIID_IDispatch, sizeof(IID));
        break;
    default: {
        psa->fFeatures = FADF_HAVEVARTYPE;
        if (vt == VT_BSTR) psa->fFeatures |= FADF_BSTR;
        if (vt == VT_VARIANT) psa->fFeatures |= FADF_VARIANT;
        const DWORD stored = vt;
        std::memcpy(hiddenOf(psa) + kHidden - sizeof(DWORD), &stored, sizeof(DWORD));
        break;
    }
    }
}

// Runs `body` with the array locked, so that a destroy from inside fails as it should.
template <class Body>
HRESULT whileLocked(SAFEARRAY* psa, Body body)
{
    HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr)) return hr;
    hr = body();
    SafeArrayUnlock(psa);
    return hr;
}

} // namespace

HRESULT SafeArrayAllocDescriptor(UINT cDims, SAFEARRAY** ppsaOut)
{
    if (!ppsaOut) return E_POINTER;
    if (cDims == 0 || cDims > 0xFFFF) return E_INVALIDARG;
    auto* block = static_cast<BYTE*>(std::calloc(1, kHidden + descriptorBytes(cDims)));
    if (!block) return E_OUTOFMEMORY;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kHidden);
    psa->cDims = static_cast<USHORT>(cDims);
    *ppsaOut = psa;
    return S_OK;
}

HRESULT SafeArrayAllocDescriptorEx(VARTYPE vt, UINT cDims, SAFEARRAY** ppsaOut)
{
    const ULONG size = elementSize(vt);
    if (size == 0) return E_INVALIDARG;
    const HRESULT hr = SafeArrayAllocDescriptor(cDims, ppsaOut);
    if (FAILED(hr)) return hr;
    (*ppsaOut)->cbElements = size;
    setFeaturesFor(*ppsaOut, vt);
    return S_OK;
}

HRESULT SafeArrayAllocData(SAFEARRAY* psa)
{
    if (!psa) return E_INVALIDARG;
    std::size_t bytes = 0;
    if (!dataBytes(psa, bytes)) return E_OUTOFMEMORY;
    void* data = std::calloc(1, bytes ? bytes : 1);
    if (!data) return E_OUTOFMEMORY;
    psa->pvData = data;
    return S_OK;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound)
{
    if (!rgsabound || cDims == 0) return nullptr;
    SAFEARRAY* psa = nullptr;
    if (FAILED(SafeArrayAllocDescriptorEx(vt, cDims, &psa))) return nullptr;
    SAFEARRAYBOUND* bounds = boundsOf(psa);
    for (UINT i = 0; i < cDims; ++i) bounds[cDims - 1 - i] = rgsabound[i];
    if (FAILED(SafeArrayAllocData(psa))) {
        SafeArrayDestroyDescriptor(psa);
        return nullptr;
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements)
{
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroyData(SAFEARRAY* psa)
{
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    releaseElements(psa);
    // Data on the stack or inside a structure is not ours to free; its elements are released.
    if (!(psa->fFeatures & kNotOwnedFeatures)) {
        std::free(psa->pvData);
        psa->pvData = nullptr;
    }
    return S_OK;
}

HRESULT SafeArrayDestroyDescriptor(SAFEARRAY* psa)
{
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    if (!(psa->fFeatures & kNotOwnedFeatures)) std::free(hiddenOf(psa));
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa)
{
    if (!psa) return S_OK;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    const HRESULT hr = SafeArrayDestroyData(psa);
    if (FAILED(hr)) return hr;
    return SafeArrayDestroyDescriptor(psa);
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut)
{
    if (!ppsaOut) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa) return S_OK;
    // Records need their IRecordInfo to be copied; nothing here creates such arrays.
    if (psa->fFeatures & FADF_RECORD) return E_NOTIMPL;

    SAFEARRAY* copy = nullptr;
    HRESULT hr = SafeArrayAllocDescriptor(psa->cDims, &copy);
    if (FAILED(hr)) return hr;
    // The hidden bytes are read only when the flags say they exist: an array rebuilt inside a
    // received block has no such prefix of its own.
    if (psa->fFeatures & (FADF_HAVEIID | FADF_HAVEVARTYPE)) std::memcpy(hiddenOf(copy), hiddenOf(psa), kHidden);
    std::memcpy(copy, psa, descriptorBytes(psa->cDims));
    copy->fFeatures = static_cast<USHORT>(psa->fFeatures & ~kNotOwnedFeatures);
    copy->cLocks = 0;
    copy->pvData = nullptr;
    if (!psa->pvData) {
        *ppsaOut = copy;
        return S_OK;
    }
    hr = SafeArrayAllocData(copy);
    if (FAILED(hr)) {
        SafeArrayDestroyDescriptor(copy);
        return hr;
    }

    std::size_t count = 0;
    cellCount(psa, count); // cannot fail: the copy's data of the same size was just allocated
    if (psa->fFeatures & FADF_BSTR) {
        auto* from = static_cast<BSTR*>(psa->pvData);
        auto* to = static_cast<BSTR*>(copy->pvData);
        for (std::size_t i = 0; i < count && SUCCEEDED(hr); ++i) {
            if (!from[i]) continue;
            to[i] = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(from[i]), SysStringByteLen(from[i]));
            if (!to[i]) hr = E_OUTOFMEMORY;
        }
    } else if (psa->fFeatures & FADF_VARIANT) {
        auto* from = static_cast<VARIANT*>(psa->pvData);
        auto* to = static_cast<VARIANT*>(copy->pvData);
        for (std::size_t i = 0; i < count && SUCCEEDED(hr); ++i) hr = VariantCopy(&to[i], &from[i]);
    } else {
        std::size_t bytes = 0;
        dataBytes(psa, bytes);
        std::memcpy(copy->pvData, psa->pvData, bytes);
        if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            auto* cells = static_cast<void**>(copy->pvData);
            for (std::size_t i = 0; i < count; ++i) {
                if (cells[i]) asUnknown(cells[i])->AddRef();
            }
        }
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
    }
    *ppsaOut = copy;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound)
{
    if (!psa || !plLbound) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    *plLbound = boundsOf(psa)[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound)
{
    if (!psa || !plUbound) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = boundsOf(psa)[psa->cDims - nDim];
    *plUbound = static_cast<LONG>(std::int64_t(b.lLbound) + std::int64_t(b.cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt)
{
    if (!psa || !pvt) return E_INVALIDARG;
    if (psa->fFeatures & FADF_RECORD) {
        *pvt = VT_RECORD;
    } else if ((psa->fFeatures & (FADF_HAVEIID | FADF_DISPATCH)) == (FADF_HAVEIID | FADF_DISPATCH)) {
        *pvt = VT_DISPATCH;
    } else if (psa->fFeatures & FADF_HAVEIID) {
        *pvt = VT_UNKNOWN;
    } else if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD stored = 0;
        std::memcpy(&stored, hiddenOf(psa) + kHidden - sizeof(DWORD), sizeof(DWORD));
        *pvt = static_cast<VARTYPE>(stored);
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa)
{
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks >= kMaxLocks) return E_UNEXPECTED;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa)
{
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData)
{
    if (!psa || !ppvData) return E_INVALIDARG;
    const HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr)) {
        *ppvData = nullptr;
        return hr;
    }
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData)
{
    if (!psa || !rgIndices || !ppvData) return E_INVALIDARG;
    if (!psa->pvData) return E_INVALIDARG;
    std::size_t offset = 0;
    const HRESULT hr = cellOffset(psa, rgIndices, offset);
    if (FAILED(hr)) return hr;
    *ppvData = static_cast<BYTE*>(psa->pvData) + offset;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (!psa || !rgIndices || !pv) return E_INVALIDARG;
    void* cell = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
    if (FAILED(hr)) return hr;
    return whileLocked(psa, [&]() -> HRESULT {
        if (psa->fFeatures & FADF_VARIANT) {
            // The destination is taken as uninitialised, as the platform does.
            auto* out = static_cast<VARIANT*>(pv);
            VariantInit(out);
            return VariantCopy(out, static_cast<VARIANT*>(cell));
        }
        if (psa->fFeatures & FADF_BSTR) {
            const BSTR from = *static_cast<BSTR*>(cell);
            BSTR copy = nullptr;
            if (from) {
                copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(from), SysStringByteLen(from));
                if (!copy) return E_OUTOFMEMORY;
            }
            *static_cast<BSTR*>(pv) = copy;
            return S_OK;
        }
        if (psa->fFeatures & FADF_RECORD) return E_NOTIMPL;
        std::memcpy(pv, cell, psa->cbElements);
        if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            if (void* p = *static_cast<void**>(pv)) asUnknown(p)->AddRef();
        }
        return S_OK;
    });
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (!psa || !rgIndices) return E_INVALIDARG;
    // A BSTR or an interface element is passed as the value itself, which may be null.
    const bool valueIsPointer = psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH);
    if (!pv && !valueIsPointer) return E_INVALIDARG;
    void* cell = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
    if (FAILED(hr)) return hr;
    return whileLocked(psa, [&]() -> HRESULT {
        if (psa->fFeatures & FADF_VARIANT) return VariantCopy(static_cast<VARIANT*>(cell), static_cast<VARIANT*>(pv));
        if (psa->fFeatures & FADF_BSTR) {
            auto from = static_cast<BSTR>(pv);
            BSTR copy = nullptr;
            if (from) {
                copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(from), SysStringByteLen(from));
                if (!copy) return E_OUTOFMEMORY;
            }
            SysFreeString(*static_cast<BSTR*>(cell));
            *static_cast<BSTR*>(cell) = copy;
            return S_OK;
        }
        if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            if (pv) asUnknown(pv)->AddRef();
            void* old = *static_cast<void**>(cell);
            *static_cast<void**>(cell) = pv;
            if (old) asUnknown(old)->Release();
            return S_OK;
        }
        if (psa->fFeatures & FADF_RECORD) return E_NOTIMPL;
        std::memmove(cell, pv, psa->cbElements);
        return S_OK;
    });
}
