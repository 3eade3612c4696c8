// VARIANT lifetime (clear, copy, copy through references) and DATE <-> SYSTEMTIME.
#include "TestCountingUnknown.h"
#include "platform/Variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace {

using platform::testing::CountingUnknown;

VARIANT bstrVariant(const std::u16string& text)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

std::u16string textOf(BSTR b) { return std::u16string(b, SysStringLen(b)); }

TEST(VariantClear, FreesWhatTheValueOwns)
{
    VARIANT v = bstrVariant(u"owned");
    EXPECT_EQ(VariantClear(&v), S_OK); // the sanitizer build reports the string if it leaks
    EXPECT_EQ(v.vt, VT_EMPTY);

    CountingUnknown object;
    v.vt = VT_UNKNOWN;
    v.punkVal = &object;
    object.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(object.refs, 1);

    // A reference owns nothing.
    BSTR kept = SysAllocString(u"kept");
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = &kept;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(textOf(kept), u"kept");
    SysFreeString(kept);
}

TEST(VariantClear, RefusesUnknownTagsAndLockedArrays)
{
    for (VARTYPE bad : {VARTYPE(15), VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_BYREF | VT_EMPTY),
                        VARTYPE(VT_ARRAY | VT_NULL), VARTYPE(VT_VOID), VARTYPE(0x7F), VARTYPE(VT_RESERVED | VT_I4)}) {
        VARIANT v;
        VariantInit(&v);
        v.vt = bad;
        v.lVal = 42;
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << bad;
        EXPECT_EQ(v.vt, bad);
        EXPECT_EQ(v.lVal, 42);
    }

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, 2);
    SafeArrayLock(v.parray);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_I4);
    SafeArrayUnlock(v.parray);
    EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(VariantCopy, DuplicatesStringsAndReferencesInterfaces)
{
    VARIANT source = bstrVariant(std::u16string(u"a\0b", 3));
    VARIANT copy = bstrVariant(u"old value, freed by the copy");
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, source.bstrVal);
    EXPECT_EQ(textOf(copy.bstrVal), std::u16string(u"a\0b", 3));
    EXPECT_EQ(VariantCopy(&copy, &copy), S_OK); // copying onto itself changes nothing
    EXPECT_EQ(textOf(copy.bstrVal), std::u16string(u"a\0b", 3));
    VariantClear(&source);
    VariantClear(&copy);

    CountingUnknown object;
    VARIANT unknown;
    VariantInit(&unknown);
    unknown.vt = VT_UNKNOWN;
    unknown.punkVal = &object;
    VARIANT second;
    VariantInit(&second);
    ASSERT_EQ(VariantCopy(&second, &unknown), S_OK);
    EXPECT_EQ(object.refs, 2);
    VariantClear(&second);
    EXPECT_EQ(object.refs, 1);
}

TEST(VariantCopy, ReferencesAndDecimalsAreCopiedAsTheyAre)
{
    LONG target = 5;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &target;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);
    EXPECT_EQ(copy.vt, VT_BYREF | VT_I4);
    EXPECT_EQ(copy.plVal, &target);

    VARIANT dec;
    VariantInit(&dec);
    dec.decVal = DECIMAL{0, 3, DECIMAL_NEG, 7, 123456789};
    dec.vt = VT_DECIMAL;
    ASSERT_EQ(VariantCopy(&copy, &dec), S_OK);
    EXPECT_EQ(std::memcmp(&copy.decVal, &dec.decVal, sizeof(DECIMAL)), 0);
}

TEST(VariantCopy, BadSourceLeavesTheDestinationAlone)
{
    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 15;
    VARIANT dest = bstrVariant(u"still here");
    EXPECT_EQ(VariantCopy(&dest, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(textOf(dest.bstrVal), u"still here");
    VariantClear(&dest);
}

TEST(VariantCopyInd, FollowsReferencesToTheirValues)
{
    BSTR referenced = SysAllocString(u"by reference");
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &referenced;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopyInd(&copy, &ref), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, referenced);
    EXPECT_EQ(textOf(copy.bstrVal), u"by reference");
    VariantClear(&copy);

    // A reference to a VARIANT yields that VARIANT's value.
    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_R4;
    inner.fltVal = 1.5f;
    VARIANT outer;
    VariantInit(&outer);
    outer.vt = VT_BYREF | VT_VARIANT;
    outer.pvarVal = &inner;
    ASSERT_EQ(VariantCopyInd(&copy, &outer), S_OK);
    EXPECT_EQ(copy.vt, VT_R4);
    EXPECT_EQ(copy.fltVal, 1.5f);

    // ...but not a reference to a reference to a VARIANT.
    VARIANT outermost;
    VariantInit(&outermost);
    outermost.vt = VT_BYREF | VT_VARIANT;
    outermost.pvarVal = &outer;
    EXPECT_EQ(VariantCopyInd(&copy, &outermost), E_INVALIDARG);

    // In place: the reference becomes the value.
    SHORT number = -7;
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_BYREF | VT_I2;
    self.piVal = &number;
    ASSERT_EQ(VariantCopyInd(&self, &self), S_OK);
    EXPECT_EQ(self.vt, VT_I2);
    EXPECT_EQ(self.iVal, -7);

    VARIANT dangling;
    VariantInit(&dangling);
    dangling.vt = VT_BYREF | VT_I4;
    EXPECT_EQ(VariantCopyInd(&copy, &dangling), E_INVALIDARG);
    SysFreeString(referenced);
}

TEST(PlatformVariant, OwnsAndCopiesItsValue)
{
    platform::Variant a;
    a->vt = VT_BSTR;
    a->bstrVal = SysAllocString(u"shared?");
    platform::Variant b(a);
    EXPECT_NE(b->bstrVal, a->bstrVal);
    platform::Variant c;
    c = b;
    EXPECT_EQ(textOf(c->bstrVal), u"shared?");
}

// --- DATE <-> SYSTEMTIME ----------------------------------------------------------------------

SYSTEMTIME fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0)
{
    SYSTEMTIME st{};
    st.wYear = WORD(y);
    st.wMonth = WORD(mo);
    st.wDay = WORD(d);
    st.wHour = WORD(h);
    st.wMinute = WORD(mi);
    st.wSecond = WORD(s);
    st.wMilliseconds = WORD(ms);
    return st;
}

double toDate(const SYSTEMTIME& st)
{
    double d = std::nan("");
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &d));
    return d;
}

TEST(VariantTime, DaysCountFrom1899December30)
{
    EXPECT_EQ(toDate(fields(1899, 12, 30)), 0.0);
    EXPECT_EQ(toDate(fields(1900, 1, 1)), 2.0);
    EXPECT_EQ(toDate(fields(2000, 2, 29, 12)), 36585.5);
    EXPECT_EQ(toDate(fields(2000, 2, 29, 12, 0, 0, 999)), 36585.5); // milliseconds are ignored
    // Before the epoch the fraction still counts forward from midnight.
    EXPECT_EQ(toDate(fields(1899, 12, 29, 6)), -1.25);
    EXPECT_EQ(toDate(fields(29, 1, 1)), toDate(fields(2029, 1, 1))); // two-digit years
    EXPECT_EQ(toDate(fields(30, 1, 1)), toDate(fields(1930, 1, 1)));

    double d = 0;
    for (const SYSTEMTIME& bad : {fields(2001, 2, 29), fields(2000, 13, 1), fields(2000, 0, 1), fields(2000, 1, 32),
                                  fields(2000, 1, 1, 24), fields(10000, 1, 1)}) {
        EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d));
    }
}

TEST(VariantTime, SplitsDatesIncludingNegativeOnes)
{
    SYSTEMTIME st{};
    ASSERT_TRUE(VariantTimeToSystemTime(-1.25, &st));
    EXPECT_EQ(st.wYear, 1899);
    EXPECT_EQ(st.wMonth, 12);
    EXPECT_EQ(st.wDay, 29);
    EXPECT_EQ(st.wHour, 6);
    EXPECT_EQ(st.wDayOfWeek, 5); // a Friday

    ASSERT_TRUE(VariantTimeToSystemTime(36585.5 + 0.4 / 86400, &st)); // rounds to the second
    EXPECT_EQ(st.wDay, 29);
    EXPECT_EQ(st.wHour, 12);
    EXPECT_EQ(st.wSecond, 0);
    EXPECT_EQ(st.wMilliseconds, 0);
    EXPECT_EQ(st.wDayOfWeek, 2); // a Tuesday

    // Day 0 at 23:59:59.99999 rounds up into the next day; so does day -1.
    ASSERT_TRUE(VariantTimeToSystemTime(-0.9999999999, &st));
    EXPECT_EQ(st.wDay, 31);
    EXPECT_EQ(st.wHour, 0);
    ASSERT_TRUE(VariantTimeToSystemTime(-1.9999999999, &st));
    EXPECT_EQ(st.wDay, 30);
    EXPECT_EQ(st.wHour, 0);

    for (double bad : {3e6, -700000.0, std::nan(""), 2958466.0, 2958465.9999999999}) {
        EXPECT_FALSE(VariantTimeToSystemTime(bad, &st)) << bad;
    }
}

TEST(VariantTime, RoundTripsFromYear100To9999)
{
    for (int year = 100; year <= 9999; year += 37) {
        for (int month = 1; month <= 12; month += 5) {
            const SYSTEMTIME st = fields(year, month, 28 - month, month + 5, 59 - month, month * 4);
            SYSTEMTIME back{};
            ASSERT_TRUE(VariantTimeToSystemTime(toDate(st), &back)) << year;
            ASSERT_EQ(back.wYear, st.wYear);
            ASSERT_EQ(back.wMonth, st.wMonth);
            ASSERT_EQ(back.wDay, st.wDay);
            ASSERT_EQ(back.wHour, st.wHour);
            ASSERT_EQ(back.wMinute, st.wMinute);
            ASSERT_EQ(back.wSecond, st.wSecond);
        }
    }
}

} // namespace
