// Internal to src/platform: the checks and the by-reference reading that VariantClear,
// VariantCopy, VariantCopyInd and VariantChangeType share. Any thread; no state.
#pragma once

#include "platform/Variant.h"

namespace platform::detail {

// Whether a tag may appear in a VARIANT at all: the base types VT_EMPTY..VT_UINT (without the
// unused 15) and VT_RECORD, optionally with VT_ARRAY and/or VT_BYREF; never VT_VECTOR or
// VT_RESERVED, and no array of or reference to VT_EMPTY/VT_NULL.
bool isValidVariantType(VARTYPE vt);

// A view of the value a VARIANT holds, with every level of VT_BYREF followed: for a by-reference
// source, `view` borrows the referenced BSTR, array or interface (it owns nothing and must not
// be cleared). E_INVALIDARG for a null reference or a reference to a VARIANT that is itself a
// VT_BYREF|VT_VARIANT, DISP_E_BADVARTYPE for a referenced VARIANT with an invalid tag,
// DISP_E_TYPEMISMATCH for a by-reference record.
HRESULT readThrough(const VARIANT& source, VARIANT& view);

// IDispatch is only declared in this layer; it derives from IUnknown, whose three slots open its
// vtable, so its pointer is usable as an IUnknown pointer for AddRef and Release.
inline IUnknown* asUnknown(IDispatch* p) { return reinterpret_cast<IUnknown*>(p); }

} // namespace platform::detail
