// VARIANT lifetime: init, clear, copy and copy-through-reference.
#include "platform/VariantAccess.h"

#include <cstring>

namespace platform::detail {

bool isValidVariantType(VARTYPE vt)
{
    if (vt & (VT_VECTOR | VT_RESERVED)) return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    const bool knownBase = (base < VT_VOID && base != 15) || base == VT_RECORD;
    if (!knownBase) return false;
    if ((vt & (VT_ARRAY | VT_BYREF)) && base <= VT_NULL) return false;
    return true;
}

namespace {

// Bytes of the value a VT_BYREF pointer refers to, for the plain base types.
std::size_t referencedSize(VARTYPE base)
{
    if (base == VT_BSTR || base == VT_UNKNOWN || base == VT_DISPATCH) return sizeof(void*);
    return platform::scalarValueSize(base);
}

HRESULT readThroughAt(const VARIANT& source, VARIANT& view, int depth)
{
    if (!(source.vt & VT_BYREF)) {
        std::memcpy(&view, &source, sizeof(VARIANT));
        return S_OK;
    }
    if (!source.byref) return E_INVALIDARG;
    const auto base = static_cast<VARTYPE>(source.vt & ~VT_BYREF);
    VariantInit(&view);
    if (base == VT_VARIANT) {
        const VARIANT& inner = *source.pvarVal;
        // A reference to a reference to a VARIANT is refused as the platform refuses it; the
        // depth bound also stops a server's self-referencing value.
        if (inner.vt == (VT_BYREF | VT_VARIANT) || depth > 0) return E_INVALIDARG;
        if (!isValidVariantType(inner.vt)) return DISP_E_BADVARTYPE;
        return readThroughAt(inner, view, depth + 1);
    }
    if (base & VT_ARRAY) {
        view.vt = base;
        view.parray = *source.pparray;
        return S_OK;
    }
    if (base == VT_DECIMAL) {
        std::memcpy(&view.decVal, source.pdecVal, sizeof(DECIMAL));
        view.vt = VT_DECIMAL; // shares its bytes with DECIMAL::wReserved
        return S_OK;
    }
    const std::size_t size = referencedSize(base);
    if (size == 0) return DISP_E_TYPEMISMATCH; // records: nothing here can copy them
    std::memcpy(&view.llVal, source.byref, size);
    view.vt = base;
    return S_OK;
}

} // namespace

HRESULT readThrough(const VARIANT& source, VARIANT& view) { return readThroughAt(source, view, 0); }

} // namespace platform::detail

using platform::detail::asUnknown;
using platform::detail::isValidVariantType;

namespace {

// Replaces the owned parts of a bitwise copy with copies of their own. On failure `v` is left
// VT_EMPTY, owning nothing.
HRESULT takeOwnedCopies(VARIANT& v)
{
    if (v.vt & VT_BYREF) return S_OK;
    if (v.vt & VT_ARRAY) {
        SAFEARRAY* copy = nullptr;
        const HRESULT hr = SafeArrayCopy(v.parray, &copy);
        v.parray = copy;
        if (FAILED(hr)) VariantInit(&v);
        return hr;
    }
    switch (v.vt) {
    case VT_BSTR:
        if (v.bstrVal) {
            v.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(v.bstrVal), SysStringByteLen(v.bstrVal));
            if (!v.bstrVal) {
                VariantInit(&v);
                return E_OUTOFMEMORY;
            }
        }
        return S_OK;
    case VT_UNKNOWN:
        if (v.punkVal) v.punkVal->AddRef();
        return S_OK;
    case VT_DISPATCH:
        if (v.pdispVal) asUnknown(v.pdispVal)->AddRef();
        return S_OK;
    case VT_RECORD:
        // Copying a record takes its IRecordInfo, which this layer does not implement.
        VariantInit(&v);
        return E_NOTIMPL;
    default:
        return S_OK;
    }
}

} // namespace

void VariantInit(VARIANTARG* pvarg)
{
    if (!pvarg) return;
    std::memset(pvarg, 0, sizeof(VARIANT));
    pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg)
{
    if (!pvarg) return E_INVALIDARG;
    if (!isValidVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
    if (!(pvarg->vt & VT_BYREF)) {
        if (pvarg->vt & VT_ARRAY) {
            const HRESULT hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr)) return hr; // a locked array stays where it is
        } else {
            switch (pvarg->vt) {
            case VT_BSTR:
                SysFreeString(pvarg->bstrVal);
                break;
            case VT_UNKNOWN:
                if (pvarg->punkVal) pvarg->punkVal->Release();
                break;
            case VT_DISPATCH:
                if (pvarg->pdispVal) asUnknown(pvarg->pdispVal)->Release();
                break;
            default:
                // VT_RECORD would need IRecordInfo::RecordClear, which this layer does not
                // have; nothing here creates records, and the tag is dropped.
                break;
            }
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, VARIANTARG* pvargSrc)
{
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    if (!isValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    // The copy is made before the destination is cleared: the source may live inside what the
    // destination owns (an element of its array, say).
    VARIANT copy;
    std::memcpy(&copy, pvargSrc, sizeof(VARIANT));
    HRESULT hr = takeOwnedCopies(copy);
    if (FAILED(hr)) return hr;
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    std::memcpy(pvargDest, &copy, sizeof(VARIANT));
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, VARIANTARG* pvargSrc)
{
    if (!pvarDest || !pvargSrc) return E_INVALIDARG;
    if (!isValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
    VARIANT view;
    const HRESULT hr = platform::detail::readThrough(*pvargSrc, view);
    if (FAILED(hr)) return hr;
    // `view` borrows the referenced value; VariantCopy gives the destination its own copy.
    return VariantCopy(pvarDest, &view);
}
