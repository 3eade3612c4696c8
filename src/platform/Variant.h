// Helpers for automation values: the sizes of scalar values, the user's number punctuation, and a
// VARIANT that clears itself.
#pragma once

#include "platform/Time.h"
#include "platform/Unknown.h"

#include <cstddef>

namespace platform {

// Bytes the value of a fixed-size scalar type takes (1 for VT_I1/VT_UI1, 2 for VT_I2/VT_UI2/
// VT_BOOL, 4 for VT_I4/VT_UI4/VT_INT/VT_UINT/VT_R4/VT_ERROR, 8 for VT_I8/VT_UI8/VT_R8/VT_CY/
// VT_DATE); 0 for every other type, VT_DECIMAL included.
std::size_t scalarValueSize(VARTYPE vt);

// The user locale's number punctuation, as VariantChangeType and number texts use it: taken from
// LC_NUMERIC of the environment (LC_ALL, LC_NUMERIC, LANG) when the platform layer first needs
// it. Tests may override it.
struct NumberFormat {
    char decimalSeparator = '.';
    char thousandsSeparator = ',';
};
NumberFormat userNumberFormat();
void setUserNumberFormat(const NumberFormat& format);

// The system's VariantCopy and VariantChangeType take their source as a pointer to non-const,
// though they only read it: a const value is passed through this.
inline VARIANT* asSource(const VARIANT* value) { return const_cast<VARIANT*>(value); }

// Owns one VARIANT and clears it on destruction.
class Variant {
public:
    Variant() { VariantInit(&_v); }
    Variant(const Variant& o) { VariantInit(&_v); VariantCopy(&_v, asSource(&o._v)); }
    Variant& operator=(const Variant& o) { if (this != &o) VariantCopy(&_v, asSource(&o._v)); return *this; }
    ~Variant() { VariantClear(&_v); }
    VARIANT* get() { return &_v; }
    const VARIANT* get() const { return &_v; }
    VARIANT* operator->() { return &_v; }
    const VARIANT* operator->() const { return &_v; }

private:
    VARIANT _v;
};

} // namespace platform
