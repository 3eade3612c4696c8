#include "client/ValueText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

namespace {

platform::Variant make(VARTYPE vt)
{
    platform::Variant v;
    v->vt = vt;
    return v;
}

// Keeps the test's number format from leaking into other tests.
struct DecimalSeparator {
    explicit DecimalSeparator(char c) : _old(platform::userNumberFormat())
    {
        platform::NumberFormat f = _old;
        f.decimalSeparator = c;
        platform::setUserNumberFormat(f);
    }
    ~DecimalSeparator() { platform::setUserNumberFormat(_old); }
    platform::NumberFormat _old;
};

FILETIME fileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms)
{
    SYSTEMTIME st{year, month, 0, day, hour, minute, second, ms};
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return ft;
}

} // namespace

TEST(TypeText, NamesBaseTypesArraysAndUnknownTags)
{
    EXPECT_EQ(typeText(VT_EMPTY), "VT_EMPTY");
    EXPECT_EQ(typeText(VT_UI1), "VT_UI1");
    EXPECT_EQ(typeText(VT_VERSIONED_STREAM), "VT_VERSIONED_STREAM");
    EXPECT_EQ(typeText(VT_ARRAY | VT_BSTR), "array of VT_BSTR");
    EXPECT_EQ(typeText(VT_BYREF | VT_I4), "type #16387");
    EXPECT_EQ(typeText(0x6003), "array of type #24579");
    for (VARTYPE unnamed : {15, 32, 35, 37, 63, 74, 0x0FFF})
        EXPECT_EQ(typeText(unnamed), "type #" + std::to_string(unnamed));
}

TEST(ValueText, ScalarsArraysAndConversions)
{
    EXPECT_EQ(valueText(*make(VT_EMPTY).get()), "");
    EXPECT_EQ(valueText(*make(VT_NULL).get()), "0");

    auto ui1 = make(VT_UI1);
    ui1->bVal = 200;
    EXPECT_EQ(valueText(*ui1.get()), "200");
    auto i1 = make(VT_I1);
    i1->cVal = -5;
    EXPECT_EQ(valueText(*i1.get()), "-5");
    auto i2 = make(VT_I2);
    i2->iVal = -32768;
    EXPECT_EQ(valueText(*i2.get()), "-32768");
    auto i4 = make(VT_I4);
    i4->lVal = 2147483647;
    EXPECT_EQ(valueText(*i4.get()), "2147483647");
    auto b = make(VT_BOOL);
    b->boolVal = 1;
    EXPECT_EQ(valueText(*b.get()), "true");
    b->boolVal = 0;
    EXPECT_EQ(valueText(*b.get()), "false");
    auto r4 = make(VT_R4);
    r4->fltVal = 0.1f;
    EXPECT_EQ(valueText(*r4.get()), "0.100000001490116");
    auto cy = make(VT_CY);
    cy->cyVal.int64 = 12345;  // 1.2345
    EXPECT_EQ(valueText(*cy.get()), "1.2345");

    auto array = make(VT_ARRAY | VT_BSTR);
    array->parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
    EXPECT_EQ(valueText(*array.get()), "[array]");

    // A by-reference integer shows the referenced number.
    LONG referenced = 42;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &referenced;
    EXPECT_EQ(valueText(byRef), "42");

    // No conversion to a number: the type's name.
    auto unknown = make(VT_UNKNOWN);
    EXPECT_EQ(valueText(*unknown.get()), "VT_UNKNOWN");
}

TEST(ValueText, Strings)
{
    auto s = make(VT_BSTR);
    s->bstrVal = SysAllocString(OLESTR("12.5"));
    EXPECT_EQ(valueText(*s.get()), "12.5");
    SysReAllocString(&s->bstrVal, OLESTR(""));
    EXPECT_EQ(valueText(*s.get()), "");
    SysReAllocString(&s->bstrVal, OLESTR("Температура"));
    EXPECT_EQ(valueText(*s.get()), "Температура");
    SysFreeString(s->bstrVal);
    s->bstrVal = nullptr;
    EXPECT_EQ(valueText(*s.get()), "");

    // More than 255 bytes in the code page: shown through the number rule, else as the type.
    s->bstrVal = SysAllocString(platform::WideString(300, OLESTR('x')).c_str());
    EXPECT_EQ(valueText(*s.get()), "VT_BSTR");
    SysReAllocString(&s->bstrVal, (OLESTR("1") + platform::WideString(299, OLESTR('0'))).c_str());
    EXPECT_EQ(valueText(*s.get()), "1E299");
    // 128 Cyrillic letters are 256 bytes: no room for the terminator.
    SysReAllocString(&s->bstrVal, platform::WideString(128, OLESTR('Ж')).c_str());
    EXPECT_EQ(valueText(*s.get()), "VT_BSTR");
    SysReAllocString(&s->bstrVal, platform::WideString(127, OLESTR('Ж')).c_str());
    EXPECT_EQ(valueText(*s.get()).size(), 254u);
}

TEST(ValueText, StringsEndAtTheirLengthWhateverFollows)
{
    // An odd byte count: the stray byte is no character.
    auto odd = make(VT_BSTR);
    odd->bstrVal = SysAllocStringByteLen("A\0B\0C", 5);
    EXPECT_EQ(valueText(*odd.get()), "AB");
    // Up to the first zero character, inside the string.
    auto inner = make(VT_BSTR);
    inner->bstrVal = SysAllocStringLen(OLESTR("a\0b"), 3);
    EXPECT_EQ(valueText(*inner.get()), "a");

    // A string whose characters go on past its length without a terminator there: the length
    // counts, not where a zero happens to follow.
    struct alignas(8) {
        std::uint32_t unused = 0;
        std::uint32_t byteLength = 4;
        WCHAR text[6] = {OLESTR('a'), OLESTR('b'), OLESTR('c'), OLESTR('d'), OLESTR('e'), 0};
    } loose;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = loose.text;
    EXPECT_EQ(valueText(value), "ab");
}

TEST(RealText, GeneralFormExamples)
{
    EXPECT_EQ(realText(3.0), "3");
    EXPECT_EQ(realText(0.0), "0");
    EXPECT_EQ(realText(-0.5), "-0.5");
    EXPECT_EQ(realText(0.0001), "0.0001");
    EXPECT_EQ(realText(0.00001), "1E-5");
    EXPECT_EQ(realText(1e20), "1E20");
    EXPECT_EQ(realText(1e15), "1E15");
    EXPECT_EQ(realText(999999999999999.0), "999999999999999");
    EXPECT_EQ(realText(9999999999999999.0), "1E16");
    EXPECT_EQ(realText(1.5e-300), "1.5E-300");
    EXPECT_EQ(realText(std::numeric_limits<double>::infinity()), "INF");
    EXPECT_EQ(realText(-std::numeric_limits<double>::infinity()), "-INF");
    EXPECT_EQ(realText(std::nan("")), "NAN");
    DecimalSeparator comma(',');
    EXPECT_EQ(realText(12.5), "12,5");
    EXPECT_EQ(realText(1.25e-7), "1,25E-7");
}

TEST(RealText, AgreesWithThePrintfFormOverRandomDoubles)
{
    // An independent formatter: the C library's %.15G with its exponent rewritten.
    auto reference = [](double v) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.15G", v);
        std::string text = buffer;
        const std::size_t e = text.find('E');
        if (e != std::string::npos) {
            const char sign = text[e + 1];
            std::size_t digits = e + 2;
            while (digits + 1 < text.size() && text[digits] == '0') ++digits;
            text = text.substr(0, e + 1) + (sign == '-' ? "-" : "") + text.substr(digits);
        }
        return text;
    };
    std::mt19937_64 random(20261208);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-320, 308);
    for (int i = 0; i < 1'000'000; ++i) {
        double v;
        if (i % 4 == 0) {
            const std::uint64_t bits = random();  // any bit pattern, subnormals included
            std::memcpy(&v, &bits, 8);
            if (!std::isfinite(v)) continue;
        } else {
            v = std::ldexp(mantissa(random), 0) * std::pow(10.0, exponent(random) % 40);
        }
        ASSERT_EQ(realText(v), reference(v)) << "for the bits of " << v;
    }
}

TEST(QualityText, TableAndNumberedForms)
{
    EXPECT_EQ(qualityText(0x00C3), "GOOD");
    EXPECT_EQ(qualityText(0x0003), "BAD");
    EXPECT_EQ(qualityText(0x0020), "BAD: #20");
    EXPECT_EQ(qualityText(0x0048), "UNCERTAIN: #48");
    EXPECT_EQ(qualityText(0x00C4), "GOOD: #C4");
    EXPECT_EQ(qualityText(0x0081), "#81");
    EXPECT_EQ(qualityText(0x8081), "#8081");
    EXPECT_EQ(qualityText(0x01C0), "GOOD");
    EXPECT_EQ(qualityText(0x0018), "BAD: comm failure");
    EXPECT_EQ(qualityText(0x0058), "UNCERTAIN: sub normal");
    EXPECT_EQ(qualityText(0x00DA), "GOOD: local override");
}

TEST(TimeStampText, ShortFormOnTodaysDayOfTheMonth)
{
    // Every day of the month, the 31st included: the same day of another month and year still
    // gives the short form, any other day the long one.
    for (WORD today = 1; today <= 31; ++today) {
        SYSTEMTIME now{};
        now.wYear = 2026;
        now.wMonth = 12;
        now.wDay = today;
        now.wHour = 12;
        const WORD otherMonth = today <= 29 ? 2 : 3;  // 2000 is a leap year: February has a 29th
        EXPECT_EQ(timeStampText(fileTime(2000, otherMonth, today, 7, 5, 9, 42), now), " 7:05:09:042") << today;
        EXPECT_EQ(timeStampText(fileTime(2000, otherMonth, today, 17, 5, 9, 42), now), "17:05:09:042") << today;
        const WORD otherDay = today == 2 ? 3 : 2;
        EXPECT_EQ(timeStampText(fileTime(2024, 2, otherDay, 7, 5, 9, 42), now),
                  "2024/02/0" + std::to_string(otherDay) + " 7:05:09:042")
            << today;
    }
}

TEST(TimeStampText, ZeroAndOutOfRange)
{
    SYSTEMTIME first{};
    first.wYear = 2026;
    first.wMonth = 12;
    first.wDay = 1;
    SYSTEMTIME second = first;
    second.wDay = 2;
    const FILETIME zero{0, 0};
    EXPECT_EQ(timeStampText(zero, first), " 0:00:00:000");
    EXPECT_EQ(timeStampText(zero, second), "1601/01/01 0:00:00:000");
    const FILETIME beyond{0, 0x80000000u};
    EXPECT_EQ(timeStampText(beyond, first), "#8000000000000000");
    // The clock's own date decides when none is given.
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_EQ(timeStampText(zero), timeStampText(zero, now));
}
