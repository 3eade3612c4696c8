// VariantChangeType: to VT_R8 from every source, the narrowing targets, texts both ways.
#include "TestCountingUnknown.h"
#include "platform/Variant.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

using platform::NumberFormat;

// Sets the number punctuation for one test and puts back what was there.
class VariantChange : public ::testing::Test {
protected:
    void SetUp() override { _saved = platform::userNumberFormat(); }
    void TearDown() override { platform::setUserNumberFormat(_saved); }
    static void useFormat(char decimal, char thousands) { platform::setUserNumberFormat(NumberFormat{decimal, thousands}); }

private:
    NumberFormat _saved;
};

VARIANT make(VARTYPE vt)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}

VARIANT text(const std::u16string& s)
{
    VARIANT v = make(VT_BSTR);
    v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return v;
}

VARIANT decimal(BYTE scale, bool negative, ULONG hi, ULONGLONG lo)
{
    VARIANT v;
    VariantInit(&v);
    v.decVal = DECIMAL{0, scale, negative ? DECIMAL_NEG : BYTE(0), hi, lo};
    v.vt = VT_DECIMAL;
    return v;
}

struct Converted {
    HRESULT hr;
    VARIANT value;
};

// Converts a copy of src (so the caller's value is cleared exactly once) and clears the input.
Converted convert(VARIANT src, VARTYPE vt, USHORT flags = 0)
{
    Converted out{E_FAIL, make(VT_EMPTY)};
    out.hr = VariantChangeType(&out.value, &src, flags, vt);
    if (!(src.vt & VT_BYREF)) VariantClear(&src);
    return out;
}

// The VT_R8 result, or a NaN after a failure (with the code in hr).
double toR8(VARIANT src, HRESULT* hr = nullptr)
{
    Converted c = convert(src, VT_R8);
    if (hr) *hr = c.hr;
    const double value = SUCCEEDED(c.hr) && c.value.vt == VT_R8 ? c.value.dblVal : std::nan("");
    VariantClear(&c.value);
    return value;
}

HRESULT failureToR8(VARIANT src)
{
    HRESULT hr = S_OK;
    toR8(src, &hr);
    return hr;
}

std::u16string toText(VARIANT src, USHORT flags = 0)
{
    Converted c = convert(src, VT_BSTR, flags);
    EXPECT_EQ(c.hr, S_OK);
    std::u16string s = c.value.vt == VT_BSTR ? std::u16string(c.value.bstrVal, SysStringLen(c.value.bstrVal)) : u"<failed>";
    VariantClear(&c.value);
    return s;
}

VARIANT r8(double d)
{
    VARIANT v = make(VT_R8);
    v.dblVal = d;
    return v;
}

// --- to VT_R8 --------------------------------------------------------------------------------

TEST_F(VariantChange, ToR8FromEveryIntegerType)
{
    VARIANT v = make(VT_I1);
    v.cVal = -128;
    EXPECT_EQ(toR8(v), -128.0);
    v = make(VT_UI1);
    v.bVal = 255;
    EXPECT_EQ(toR8(v), 255.0);
    v = make(VT_I2);
    v.iVal = -32768;
    EXPECT_EQ(toR8(v), -32768.0);
    v = make(VT_UI2);
    v.uiVal = 65535;
    EXPECT_EQ(toR8(v), 65535.0);
    v = make(VT_I4);
    v.lVal = std::numeric_limits<LONG>::min();
    EXPECT_EQ(toR8(v), -2147483648.0);
    v = make(VT_UI4);
    v.ulVal = 0xFFFFFFFFu;
    EXPECT_EQ(toR8(v), 4294967295.0);
    v = make(VT_INT);
    v.intVal = -7;
    EXPECT_EQ(toR8(v), -7.0);
    v = make(VT_UINT);
    v.uintVal = 7;
    EXPECT_EQ(toR8(v), 7.0);
    v = make(VT_I8);
    v.llVal = std::numeric_limits<LONGLONG>::min();
    EXPECT_EQ(toR8(v), -9223372036854775808.0);
    v = make(VT_UI8);
    v.ullVal = std::numeric_limits<ULONGLONG>::max();
    EXPECT_EQ(toR8(v), 18446744073709551616.0); // the nearest double
}

TEST_F(VariantChange, ToR8FromRealsCurrencyDateDecimalBoolEmpty)
{
    VARIANT v = make(VT_R4);
    v.fltVal = 0.1f;
    EXPECT_EQ(toR8(v), static_cast<double>(0.1f)); // widened exactly, not re-rounded to 0.1

    v = make(VT_CY);
    v.cyVal.int64 = 12345;
    EXPECT_EQ(toR8(v), 1.2345);
    v.cyVal.int64 = -1;
    EXPECT_EQ(toR8(v), -0.0001);
    v.cyVal.int64 = std::numeric_limits<LONGLONG>::max();
    EXPECT_EQ(toR8(v), 922337203685477.5807);

    v = make(VT_DATE);
    v.date = 45000.25;
    EXPECT_EQ(toR8(v), 45000.25);

    EXPECT_EQ(toR8(decimal(2, true, 0, 12345)), -123.45);
    EXPECT_EQ(toR8(decimal(0, false, 1, 0)), 18446744073709551616.0);
    EXPECT_EQ(toR8(decimal(28, false, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFFull)), 7.9228162514264337593543950335);
    EXPECT_EQ(toR8(decimal(0, true, 0, 0)), 0.0);
    HRESULT hr = S_OK;
    toR8(decimal(29, false, 0, 1), &hr); // a scale no DECIMAL may have
    EXPECT_EQ(hr, E_INVALIDARG);

    v = make(VT_BOOL);
    v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(toR8(v), -1.0);
    v.boolVal = VARIANT_FALSE;
    EXPECT_EQ(toR8(v), 0.0);

    EXPECT_EQ(toR8(make(VT_EMPTY)), 0.0);
    EXPECT_EQ(failureToR8(make(VT_NULL)), DISP_E_TYPEMISMATCH);
}

TEST_F(VariantChange, ToR8FromTextWithPointAsDecimalSeparator)
{
    useFormat('.', ',');
    EXPECT_EQ(toR8(text(u"1.5")), 1.5);
    EXPECT_EQ(toR8(text(u"0.1")), 0.1); // correctly rounded
    EXPECT_EQ(toR8(text(u"  -1,234.5e2 ")), -123450.0);
    EXPECT_EQ(toR8(text(u"+12")), 12.0);
    EXPECT_EQ(toR8(text(u"(2.5)")), -2.5);
    EXPECT_EQ(toR8(text(u".5")), 0.5);
    EXPECT_EQ(toR8(text(u"1E3")), 1000.0);
    EXPECT_EQ(toR8(text(u"1,5")), 15.0); // here the comma groups digits
    EXPECT_EQ(toR8(text(u"1.7976931348623157e308")), DBL_MAX);
    EXPECT_EQ(toR8(text(u"1e-400")), 0.0); // too small is zero
    EXPECT_EQ(toR8(text(std::u16string(u"42\0junk", 7))), 42.0); // the text ends at its first zero

    for (const char16_t* bad : {u"", u"   ", u"abc", u"1.5x", u"1.2.3", u"--1", u"1e", u"e5", u"1,", u"(1", u"1 2",
                                u"0x10", u"\u0661"}) {
        EXPECT_EQ(failureToR8(text(bad)), DISP_E_TYPEMISMATCH) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
    }
    VARIANT nullText = make(VT_BSTR);
    EXPECT_EQ(failureToR8(nullText), DISP_E_TYPEMISMATCH);

    EXPECT_EQ(failureToR8(text(u"1e400")), DISP_E_OVERFLOW);
    EXPECT_EQ(failureToR8(text(u"-2e308")), DISP_E_OVERFLOW);
    EXPECT_EQ(failureToR8(text(u"1" + std::u16string(400, u'0'))), DISP_E_OVERFLOW);
}

TEST_F(VariantChange, ToR8FromTextWithCommaAsDecimalSeparator)
{
    useFormat(',', '.');
    EXPECT_EQ(toR8(text(u"1,5")), 1.5);
    EXPECT_EQ(toR8(text(u"-1.234,5")), -1234.5);
    EXPECT_EQ(toR8(text(u"1.5")), 15.0); // the point groups digits in this locale
    EXPECT_EQ(toR8(text(u"0,1")), 0.1);
    EXPECT_EQ(failureToR8(text(u"1,5,5")), DISP_E_TYPEMISMATCH);

    // Locales that group with a (no-break) space.
    useFormat(',', ' ');
    EXPECT_EQ(toR8(text(u"1 234,5")), 1234.5);
    EXPECT_EQ(toR8(text(u"1\u00A0234\u202F567,25")), 1234567.25);
}

TEST_F(VariantChange, ToR8ThroughReferences)
{
    LONG number = -5;
    VARIANT v = make(VT_BYREF | VT_I4);
    v.plVal = &number;
    EXPECT_EQ(toR8(v), -5.0);

    BSTR s = SysAllocString(u"2.25");
    useFormat('.', ',');
    v = make(VT_BYREF | VT_BSTR);
    v.pbstrVal = &s;
    EXPECT_EQ(toR8(v), 2.25);
    EXPECT_NE(s, nullptr); // still the caller's
    SysFreeString(s);

    DECIMAL d{0, 1, 0, 0, 15};
    v = make(VT_BYREF | VT_DECIMAL);
    v.pdecVal = &d;
    EXPECT_EQ(toR8(v), 1.5);

    VARIANT inner = make(VT_R4);
    inner.fltVal = 0.5f;
    v = make(VT_BYREF | VT_VARIANT);
    v.pvarVal = &inner;
    EXPECT_EQ(toR8(v), 0.5);

    v = make(VT_BYREF | VT_R8);
    EXPECT_EQ(failureToR8(v), E_INVALIDARG); // a null reference
}

TEST_F(VariantChange, ToR8RefusesArraysInterfacesRecordsAndBadTags)
{
    VARIANT array = make(VT_ARRAY | VT_R8);
    array.parray = SafeArrayCreateVector(VT_R8, 0, 1);
    EXPECT_EQ(failureToR8(array), DISP_E_TYPEMISMATCH);

    platform::testing::CountingUnknown object;
    VARIANT unknown = make(VT_UNKNOWN);
    unknown.punkVal = &object;
    object.AddRef(); // the VARIANT's reference, released by the helper's clear
    EXPECT_EQ(failureToR8(unknown), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(object.refs, 1);

    EXPECT_EQ(failureToR8(make(VT_DISPATCH)), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(failureToR8(make(VT_RECORD)), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(failureToR8(make(VT_ERROR)), DISP_E_TYPEMISMATCH);

    for (VARTYPE bad : {VARTYPE(15), VARTYPE(0x7F), VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_BYREF | VT_NULL)}) {
        VARIANT v = make(VT_EMPTY);
        v.vt = bad;
        VARIANT dest = make(VT_EMPTY);
        EXPECT_EQ(VariantChangeType(&dest, &v, 0, VT_R8), DISP_E_BADVARTYPE) << bad;
    }
    VARIANT src = r8(1.0);
    VARIANT dest = make(VT_EMPTY);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VARTYPE(15)), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_UNKNOWN), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_ARRAY | VT_R8), DISP_E_TYPEMISMATCH);
}

TEST_F(VariantChange, FailureLeavesTheDestinationAndInPlaceWorks)
{
    useFormat('.', ',');
    VARIANT src = text(u"not a number");
    VARIANT dest = text(u"keep me");
    const BSTR kept = dest.bstrVal;
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_R8), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dest.vt, VT_BSTR);
    EXPECT_EQ(dest.bstrVal, kept);
    VariantClear(&dest);
    VariantClear(&src);

    // dest == src: the string is read, then freed (the sanitizer build checks both).
    VARIANT self = text(u"2.5");
    ASSERT_EQ(VariantChangeType(&self, &self, 0, VT_R8), S_OK);
    EXPECT_EQ(self.vt, VT_R8);
    EXPECT_EQ(self.dblVal, 2.5);
    self = r8(0.25);
    ASSERT_EQ(VariantChangeType(&self, &self, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(self.bstrVal), u"0.25");
    VariantClear(&self);
}

// --- narrowing targets -------------------------------------------------------------------------

LONG toI4(VARIANT v, HRESULT& hr)
{
    Converted c = convert(v, VT_I4);
    hr = c.hr;
    return c.value.lVal;
}

TEST_F(VariantChange, IntegerTargetsRoundHalfToEvenAndCheckRange)
{
    const struct {
        double in;
        LONG out;
    } rounding[] = {{2.5, 2}, {3.5, 4}, {-2.5, -2}, {-0.5, 0}, {0.5, 0}, {0.6, 1}, {-1.5, -2},
                    {2147483647.4, 2147483647}, {-2147483648.5, -2147483647 - 1}};
    for (const auto& r : rounding) {
        HRESULT hr = E_FAIL;
        EXPECT_EQ(toI4(r8(r.in), hr), r.out) << r.in;
        EXPECT_EQ(hr, S_OK);
    }
    for (double overflow : {2147483647.5, -2147483649.0, 1e300, std::nan(""), HUGE_VAL}) {
        HRESULT hr = S_OK;
        toI4(r8(overflow), hr);
        EXPECT_EQ(hr, DISP_E_OVERFLOW) << overflow;
    }

    VARIANT v = make(VT_I4);
    v.lVal = 256;
    EXPECT_EQ(convert(v, VT_UI1).hr, DISP_E_OVERFLOW);
    v.lVal = -1;
    EXPECT_EQ(convert(v, VT_UI4).hr, DISP_E_OVERFLOW);
    v.lVal = -128;
    Converted c = convert(v, VT_I1);
    EXPECT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.value.cVal, -128);

    // A boolean hands its bits to the unsigned types.
    v = make(VT_BOOL);
    v.boolVal = VARIANT_TRUE;
    c = convert(v, VT_UI1);
    EXPECT_EQ(c.value.bVal, 255);
    c = convert(v, VT_UI8);
    EXPECT_EQ(c.value.ullVal, std::numeric_limits<ULONGLONG>::max());
}

TEST_F(VariantChange, SixtyFourBitTargetsFromTextAreExact)
{
    useFormat('.', ',');
    Converted c = convert(text(u"9223372036854775807"), VT_I8);
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.value.llVal, std::numeric_limits<LONGLONG>::max());
    c = convert(text(u"-9223372036854775808"), VT_I8);
    EXPECT_EQ(c.value.llVal, std::numeric_limits<LONGLONG>::min());
    EXPECT_EQ(convert(text(u"9223372036854775808"), VT_I8).hr, DISP_E_OVERFLOW);
    c = convert(text(u"18446744073709551615"), VT_UI8);
    EXPECT_EQ(c.value.ullVal, std::numeric_limits<ULONGLONG>::max());
    EXPECT_EQ(convert(text(u"-1"), VT_UI8).hr, DISP_E_OVERFLOW);
    c = convert(text(u"2.5"), VT_I4);
    EXPECT_EQ(c.value.lVal, 2);
    c = convert(text(u"-0.50000000000000000001"), VT_I4); // just past the half rounds away
    EXPECT_EQ(c.value.lVal, -1);
    c = convert(text(u"1e-30"), VT_I2);
    EXPECT_EQ(c.value.iVal, 0);
    EXPECT_EQ(convert(text(u"1e30"), VT_I2).hr, DISP_E_OVERFLOW);

    EXPECT_EQ(convert(r8(18446744073709551616.0), VT_UI8).hr, DISP_E_OVERFLOW);
    c = convert(r8(9223372036854774784.0), VT_I8);
    EXPECT_EQ(c.value.llVal, 9223372036854774784LL);
    EXPECT_EQ(convert(r8(9223372036854775808.0), VT_I8).hr, DISP_E_OVERFLOW);
}

TEST_F(VariantChange, CurrencyAndDecimalTargets)
{
    useFormat('.', ',');
    Converted c = convert(text(u"1.23445"), VT_CY);
    EXPECT_EQ(c.value.cyVal.int64, 12344); // half to even at the fourth decimal
    c = convert(text(u"1.23455"), VT_CY);
    EXPECT_EQ(c.value.cyVal.int64, 12346);
    c = convert(r8(-2.5), VT_CY);
    EXPECT_EQ(c.value.cyVal.int64, -25000);
    EXPECT_EQ(convert(r8(922337203685477.6), VT_CY).hr, DISP_E_OVERFLOW);

    VARIANT cy = make(VT_CY);
    cy.cyVal.int64 = 25000; // 2.5
    c = convert(cy, VT_I2);
    EXPECT_EQ(c.value.iVal, 2);
    EXPECT_EQ(convert(decimal(1, false, 0, 327675), VT_I2).hr, DISP_E_OVERFLOW); // 32767.5 rounds up

    c = convert(text(u"0.1"), VT_DECIMAL);
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.value.vt, VT_DECIMAL);
    EXPECT_EQ(c.value.decVal.scale, 1);
    EXPECT_EQ(c.value.decVal.Lo64, 1u);
    c = convert(r8(-0.1), VT_DECIMAL); // the shortest digits of the double
    EXPECT_EQ(c.value.decVal.scale, 1);
    EXPECT_EQ(c.value.decVal.sign, DECIMAL_NEG);
    EXPECT_EQ(c.value.decVal.Lo64, 1u);
    c = convert(text(u"79228162514264337593543950335"), VT_DECIMAL);
    EXPECT_EQ(c.value.decVal.Hi32, 0xFFFFFFFFu);
    EXPECT_EQ(convert(text(u"79228162514264337593543950336"), VT_DECIMAL).hr, DISP_E_OVERFLOW);
    // 29 decimals: the last one goes, half to even.
    c = convert(text(u"1.00000000000000000000000000005"), VT_DECIMAL);
    EXPECT_EQ(c.value.decVal.scale, 28);
    EXPECT_EQ(toR8(c.value), 1.0);
    EXPECT_EQ(convert(r8(std::nan("")), VT_DECIMAL).hr, DISP_E_OVERFLOW);
}

TEST_F(VariantChange, FloatDateBoolAndEmptyTargets)
{
    EXPECT_EQ(convert(r8(1e39), VT_R4).hr, DISP_E_OVERFLOW);
    Converted c = convert(r8(0.1), VT_R4);
    EXPECT_EQ(c.value.fltVal, 0.1f);
    EXPECT_EQ(convert(r8(3e6), VT_DATE).hr, DISP_E_OVERFLOW);
    c = convert(r8(-657434.5), VT_DATE);
    EXPECT_EQ(c.hr, S_OK);

    useFormat('.', ',');
    for (const char16_t* yes : {u"True", u" true ", u"#TRUE#", u"2.5", u"-1"}) {
        c = convert(text(yes), VT_BOOL);
        EXPECT_EQ(c.hr, S_OK);
        EXPECT_EQ(c.value.boolVal, VARIANT_TRUE);
    }
    for (const char16_t* no : {u"False", u"0", u"0.000"}) {
        c = convert(text(no), VT_BOOL);
        EXPECT_EQ(c.value.boolVal, VARIANT_FALSE);
    }
    EXPECT_EQ(convert(text(u"yes"), VT_BOOL).hr, DISP_E_TYPEMISMATCH);
    c = convert(r8(std::nan("")), VT_BOOL);
    EXPECT_EQ(c.value.boolVal, VARIANT_TRUE);

    c = convert(r8(4.0), VT_EMPTY);
    EXPECT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.value.vt, VT_EMPTY);
    EXPECT_EQ(convert(make(VT_NULL), VT_EMPTY).hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(convert(make(VT_NULL), VT_NULL).hr, S_OK);
    EXPECT_EQ(convert(make(VT_NULL), VT_BSTR).hr, DISP_E_TYPEMISMATCH);
}

// --- to and from text ---------------------------------------------------------------------------

TEST_F(VariantChange, NumbersToTextUseTheShortestRoundTripForm)
{
    useFormat('.', ',');
    EXPECT_EQ(toText(r8(0.1)), u"0.1");
    EXPECT_EQ(toText(r8(1.0 / 3)), u"0.3333333333333333");
    EXPECT_EQ(toText(r8(-0.0001)), u"-0.0001");
    EXPECT_EQ(toText(r8(123456789012345.0)), u"123456789012345");
    EXPECT_EQ(toText(r8(1e15)), u"1E+15");
    EXPECT_EQ(toText(r8(1e20)), u"1E+20");
    EXPECT_EQ(toText(r8(1.5e-7)), u"1.5E-07");
    EXPECT_EQ(toText(r8(0.0)), u"0");
    VARIANT f = make(VT_R4);
    f.fltVal = 0.1f;
    EXPECT_EQ(toText(f), u"0.1"); // the float's own shortest form

    VARIANT v = make(VT_I4);
    v.lVal = -42;
    EXPECT_EQ(toText(v), u"-42");
    v = make(VT_UI8);
    v.ullVal = std::numeric_limits<ULONGLONG>::max();
    EXPECT_EQ(toText(v), u"18446744073709551615");
    v = make(VT_CY);
    v.cyVal.int64 = 15000;
    EXPECT_EQ(toText(v), u"1.5");
    EXPECT_EQ(toText(decimal(2, false, 0, 150)), u"1.5");
    EXPECT_EQ(toText(decimal(10, true, 0, 1)), u"-0.0000000001");
    EXPECT_EQ(toText(decimal(0, false, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFFull)), u"79228162514264337593543950335");
    EXPECT_EQ(toText(make(VT_EMPTY)), u"");

    v = make(VT_BOOL);
    v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(toText(v), u"-1");
    EXPECT_EQ(toText(v, VARIANT_ALPHABOOL), u"True");
    v.boolVal = VARIANT_FALSE;
    EXPECT_EQ(toText(v, VARIANT_ALPHABOOL), u"False");

    useFormat(',', '.');
    EXPECT_EQ(toText(r8(2.5)), u"2,5");
    EXPECT_EQ(toText(r8(-1.25e-30)), u"-1,25E-30");
}

TEST_F(VariantChange, TextRoundTripsDoublesInBothLocales)
{
    const double samples[] = {0.1, -2.5, 1.0 / 3, 6.02214076e23, 5e-324, DBL_MAX, -DBL_MIN, 1e15, 123.456, 1e-5};
    for (char decimalSeparator : {'.', ','}) {
        useFormat(decimalSeparator, decimalSeparator == '.' ? ',' : '.');
        for (double d : samples) {
            Converted c = convert(r8(d), VT_BSTR);
            ASSERT_EQ(c.hr, S_OK);
            EXPECT_EQ(toR8(c.value), d) << d << " in locale " << decimalSeparator;
        }
    }
}

TEST_F(VariantChange, DatesAsText)
{
    useFormat('.', ',');
    VARIANT d = make(VT_DATE);
    d.date = 45000.5;
    EXPECT_EQ(toText(d), u"45000.5"); // written as its number of days

    Converted c = convert(text(u"45000.5"), VT_DATE);
    EXPECT_EQ(c.value.date, 45000.5);
    SYSTEMTIME st{};
    st.wYear = 2023;
    st.wMonth = 3;
    st.wDay = 15;
    st.wHour = 12;
    st.wMinute = 30;
    double expected = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &expected));
    c = convert(text(u"2023-03-15 12:30"), VT_DATE);
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_EQ(c.value.date, expected);
    c = convert(text(u"2023-03-15T12:30:00"), VT_DATE);
    EXPECT_EQ(c.value.date, expected);
    EXPECT_EQ(convert(text(u"2023-02-30"), VT_DATE).hr, DISP_E_TYPEMISMATCH);
}

TEST_F(VariantChange, SameTypeIsACopy)
{
    Converted c = convert(text(u"same"), VT_BSTR);
    ASSERT_EQ(c.hr, S_OK);
    EXPECT_EQ(std::u16string(c.value.bstrVal), u"same");
    VariantClear(&c.value);

    platform::testing::CountingUnknown object;
    VARIANT unknown = make(VT_UNKNOWN);
    unknown.punkVal = &object;
    VARIANT dest = make(VT_EMPTY);
    ASSERT_EQ(VariantChangeType(&dest, &unknown, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(object.refs, 2);
    VariantClear(&dest);
    EXPECT_EQ(object.refs, 1);
}

} // namespace
