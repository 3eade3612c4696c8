// BSTR layout and lifetime, SAFEARRAY descriptors, element ownership and locking. The sanitizer
// build turns every leaked or doubly freed string and array here into a failure.
#include "TestCountingUnknown.h"
#include "platform/Variant.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

namespace {

using platform::testing::CountingUnknown;

std::u16string textOf(BSTR b) { return std::u16string(b, SysStringLen(b)); }

UINT prefixOf(BSTR b)
{
    UINT bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const BYTE*>(b) - 4, 4);
    return bytes;
}

TEST(Bstr, LayoutIsByteCountTextAndTerminator)
{
    BSTR b = SysAllocString(u"OPC");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(prefixOf(b), 6u);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(SysStringByteLen(b), 6u);
    EXPECT_EQ(b[3], 0);
    SysFreeString(b);

    // Embedded zeros survive; the length, not the first zero, ends the text.
    BSTR zeros = SysAllocStringLen(u"a\0b", 3);
    EXPECT_EQ(textOf(zeros), std::u16string(u"a\0b", 3));
    SysFreeString(zeros);

    BSTR blank = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(textOf(blank), std::u16string(4, u'\0'));
    SysFreeString(blank);

    // An odd byte count: the bytes are kept and followed by a zero character.
    BSTR bytes = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(bytes), 3u);
    EXPECT_EQ(SysStringLen(bytes), 1u);
    EXPECT_EQ(std::memcmp(bytes, "abc\0", 4), 0);
    SysFreeString(bytes);
}

TEST(Bstr, NullAndOversizedRequests)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr); // would not fit the prefix
    EXPECT_EQ(SysAllocStringByteLen(nullptr, std::numeric_limits<UINT>::max()), nullptr);
}

TEST(Bstr, ReAllocFromItsOwnTextAndWithoutSource)
{
    BSTR b = SysAllocString(u"hello world");
    ASSERT_TRUE(SysReAllocString(&b, b + 6)); // the source lies inside the string replaced
    EXPECT_EQ(textOf(b), u"world");
    ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 3)); // keeps what it can of the old text
    EXPECT_EQ(textOf(b), u"wor");
    ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 5));
    EXPECT_EQ(textOf(b), std::u16string(u"wor\0\0", 5));
    ASSERT_TRUE(SysReAllocString(&b, nullptr));
    EXPECT_EQ(SysStringLen(b), 0u);
    EXPECT_NE(b, nullptr);
    SysFreeString(b);
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

TEST(SafeArrayDescriptor, VectorBoundsTypeAndHiddenVartype)
{
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, -2, 5);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(psa), 4u);
    LONG bound = 0;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &bound), S_OK);
    EXPECT_EQ(bound, -2);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &bound), S_OK);
    EXPECT_EQ(bound, 2);
    EXPECT_EQ(SafeArrayGetLBound(psa, 0, &bound), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 2, &bound), DISP_E_BADINDEX);

    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_I4);
    EXPECT_TRUE(psa->fFeatures & FADF_HAVEVARTYPE);
    DWORD hidden = 0;
    std::memcpy(&hidden, reinterpret_cast<const BYTE*>(psa) - 4, 4);
    EXPECT_EQ(hidden, DWORD(VT_I4)); // where the platform keeps it, for code that reads it there

    for (LONG i = -2; i <= 2; ++i) {
        LONG value = i * 10;
        ASSERT_EQ(SafeArrayPutElement(psa, &i, &value), S_OK);
    }
    for (LONG bad : {-3, 3}) {
        LONG value = 0;
        EXPECT_EQ(SafeArrayPutElement(psa, &bad, &value), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayGetElement(psa, &bad, &value), DISP_E_BADINDEX);
    }
    LONG index = 1;
    LONG value = 0;
    EXPECT_EQ(SafeArrayGetElement(psa, &index, &value), S_OK);
    EXPECT_EQ(value, 10);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayDescriptor, LeftmostIndexVariesFastest)
{
    // Two rows (lower bound 0) by three columns (lower bound 1), given leftmost first.
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 1}};
    SAFEARRAY* psa = SafeArrayCreate(VT_I2, 2, bounds);
    ASSERT_NE(psa, nullptr);
    // Stored reversed: the descriptor's first bound is the rightmost dimension.
    EXPECT_EQ(psa->rgsabound[0].cElements, 3u);
    EXPECT_EQ(psa->rgsabound[0].lLbound, 1);
    LONG bound = 0;
    SafeArrayGetUBound(psa, 2, &bound);
    EXPECT_EQ(bound, 3);

    for (LONG row = 0; row < 2; ++row) {
        for (LONG column = 1; column <= 3; ++column) {
            LONG index[2] = {row, column};
            SHORT value = static_cast<SHORT>(row * 10 + column);
            ASSERT_EQ(SafeArrayPutElement(psa, index, &value), S_OK);
        }
    }
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    const SHORT expected[6] = {1, 11, 2, 12, 3, 13};
    EXPECT_EQ(std::memcmp(data, expected, sizeof expected), 0);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);

    LONG outside[2] = {2, 1};
    SHORT value = 0;
    EXPECT_EQ(SafeArrayGetElement(psa, outside, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayDescriptor, CreationRefusesWhatItCannotHold)
{
    SAFEARRAYBOUND bound{1, 0};
    EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, &bound), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &bound), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
    SAFEARRAYBOUND huge[2] = {{0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 2, huge), nullptr);

    SAFEARRAY* empty = SafeArrayCreateVector(VT_BSTR, 5, 0);
    ASSERT_NE(empty, nullptr);
    LONG upper = 0;
    SafeArrayGetUBound(empty, 1, &upper);
    EXPECT_EQ(upper, 4);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);

    SAFEARRAY* none = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(SafeArrayCopy(nullptr, &none), S_OK);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArrayLocking, LockedArraysAreNotDestroyed)
{
    SAFEARRAY* psa = SafeArrayCreateVector(VT_R8, 0, 3);
    ASSERT_NE(psa, nullptr);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayDestroyData(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(psa->pvData, data); // still there and usable
    static_cast<double*>(data)[2] = 2.5;
    EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayElements, StringsAreCopiedInAndOut)
{
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
    ASSERT_NE(psa, nullptr);
    EXPECT_TRUE(psa->fFeatures & FADF_BSTR);
    BSTR mine = SysAllocString(u"first");
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(psa, &i, mine), S_OK);
    SysFreeString(mine); // the array holds its own copy
    BSTR zeros = SysAllocStringLen(u"x\0y", 3);
    ASSERT_EQ(SafeArrayPutElement(psa, &i, zeros), S_OK); // replaces and frees "first"
    SysFreeString(zeros);
    i = 2;
    ASSERT_EQ(SafeArrayPutElement(psa, &i, nullptr), S_OK); // a null BSTR is a valid element

    BSTR out = nullptr;
    i = 0;
    ASSERT_EQ(SafeArrayGetElement(psa, &i, &out), S_OK);
    EXPECT_EQ(textOf(out), std::u16string(u"x\0y", 3));
    EXPECT_NE(out, static_cast<BSTR*>(psa->pvData)[0]);
    SysFreeString(out);

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    EXPECT_NE(static_cast<BSTR*>(copy->pvData)[0], static_cast<BSTR*>(psa->pvData)[0]);
    EXPECT_EQ(textOf(static_cast<BSTR*>(copy->pvData)[0]), std::u16string(u"x\0y", 3));
    EXPECT_EQ(static_cast<BSTR*>(copy->pvData)[2], nullptr);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
    EXPECT_EQ(vt, VT_BSTR);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayElements, VariantsHoldingStringsAndArraysAreDeepCopied)
{
    // An array of VARIANTs: a string, and a nested array of strings.
    SAFEARRAY* inner = SafeArrayCreateVector(VT_BSTR, 0, 2);
    for (LONG i = 0; i < 2; ++i) {
        BSTR s = SysAllocString(i ? u"two" : u"one");
        SafeArrayPutElement(inner, &i, s);
        SysFreeString(s);
    }
    SAFEARRAY* outer = SafeArrayCreateVector(VT_VARIANT, 1, 2);
    ASSERT_NE(outer, nullptr);
    EXPECT_TRUE(outer->fFeatures & FADF_VARIANT);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"text");
    LONG i = 1;
    ASSERT_EQ(SafeArrayPutElement(outer, &i, &v), S_OK);
    VariantClear(&v);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = inner; // the VARIANT owns the inner array from here
    i = 2;
    ASSERT_EQ(SafeArrayPutElement(outer, &i, &v), S_OK);
    VariantClear(&v);

    VARIANT whole;
    VariantInit(&whole);
    whole.vt = VT_ARRAY | VT_VARIANT;
    whole.parray = outer;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &whole), S_OK);
    ASSERT_EQ(VariantClear(&whole), S_OK); // the copy must not share anything with it

    VARIANT element;
    i = 2;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &i, &element), S_OK);
    ASSERT_EQ(element.vt, VT_ARRAY | VT_BSTR);
    BSTR two = nullptr;
    LONG j = 1;
    ASSERT_EQ(SafeArrayGetElement(element.parray, &j, &two), S_OK);
    EXPECT_EQ(textOf(two), u"two");
    SysFreeString(two);
    VariantClear(&element);
    EXPECT_EQ(VariantClear(&copy), S_OK);
}

TEST(SafeArrayElements, InterfacesAreReferencedAndReleased)
{
    CountingUnknown object;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    ASSERT_NE(psa, nullptr);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_UNKNOWN);
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(psa, &i, static_cast<IUnknown*>(&object)), S_OK);
    EXPECT_EQ(object.refs, 2);
    IUnknown* out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, &i, &out), S_OK);
    EXPECT_EQ(out, &object);
    EXPECT_EQ(object.refs, 3);
    out->Release();

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    EXPECT_EQ(object.refs, 3);
    ASSERT_EQ(SafeArrayPutElement(copy, &i, nullptr), S_OK); // replacing releases the old one
    EXPECT_EQ(object.refs, 2);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(object.refs, 1);
}

} // namespace
