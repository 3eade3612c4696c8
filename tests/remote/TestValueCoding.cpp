// VARIANTs through the agent protocol: every kind a server hands out comes back equal, arrays
// with their bounds and elements; what cannot travel says so; a Value that lies about itself is
// refused whole, leaving nothing behind (the ASan build sees leaks and overruns).
#include "platform/Platform.h"
#include "platform/remote/ValueCoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

namespace {

using namespace platform::remote;
using namespace tagvista::agent;
namespace fb = flatbuffers;

// The Value of a VARIANT, sent through a whole frame and verified, made into a VARIANT again.
struct RoundTrip {
    bool travelled = true;
    bool made = false;
    VARIANT value;

    explicit RoundTrip(const VARIANT& original)
    {
        VariantInit(&value);
        fb::FlatBufferBuilder builder;
        const auto encoded = encodeValue(builder, original, travelled);
        const auto item = CreateCallbackItem(builder, 1, encoded);
        const auto items = builder.CreateVector(std::vector<fb::Offset<CallbackItem>>{item});
        builder.Finish(CreateEnvelope(builder, 0, Body::Callback, CreateCallback(builder, 1, 0, 0, 0, 0, items).Union()));
        std::vector<std::uint8_t> frame = frameOf(builder);
        frame.erase(frame.begin(), frame.begin() + 4);
        std::string error;
        const Envelope* message = messageOf(frame, error);
        if (message) made = decodeValue(message->body_as_Callback()->items()->Get(0)->value(), value);
    }
    ~RoundTrip() { VariantClear(&value); }
};

SAFEARRAY* vectorOf(VARTYPE type, LONG lower, ULONG count)
{
    SAFEARRAYBOUND bound{count, lower};
    return SafeArrayCreate(type, 1, &bound);
}

TEST(ValueCoding, ScalarsStringsAndDecimalsComeBackEqual)
{
    VARIANT v;
    VariantInit(&v);
    const auto check = [](const VARIANT& original) {
        RoundTrip back(original);
        EXPECT_TRUE(back.travelled && back.made) << original.vt;
        EXPECT_EQ(back.value.vt, original.vt);
        return back.value;  // a shallow copy: only scalars are compared through it
    };
    v.vt = VT_EMPTY;
    check(v);
    v.vt = VT_NULL;
    check(v);
    v.vt = VT_I1; v.cVal = -128;
    EXPECT_EQ(check(v).cVal, -128);
    v.vt = VT_UI2; v.uiVal = 65535;
    EXPECT_EQ(check(v).uiVal, 65535);
    v.vt = VT_I4; v.lVal = -2147483647 - 1;
    EXPECT_EQ(check(v).lVal, -2147483647 - 1);
    v.vt = VT_UI8; v.ullVal = 0xFEDCBA9876543210ull;
    EXPECT_EQ(check(v).ullVal, 0xFEDCBA9876543210ull);
    v.vt = VT_R4; v.fltVal = 3.25f;
    EXPECT_EQ(check(v).fltVal, 3.25f);
    v.vt = VT_R8; v.dblVal = -2.5e300;
    EXPECT_EQ(check(v).dblVal, -2.5e300);
    v.vt = VT_DATE; v.date = 36526.5;
    EXPECT_EQ(check(v).date, 36526.5);
    v.vt = VT_CY; v.cyVal.int64 = 12345678;
    EXPECT_EQ(check(v).cyVal.int64, 12345678);
    v.vt = VT_BOOL; v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(check(v).boolVal, VARIANT_TRUE);
    v.vt = VT_ERROR; v.scode = DISP_E_TYPEMISMATCH;
    EXPECT_EQ(check(v).scode, DISP_E_TYPEMISMATCH);

    VARIANT decimal;
    VariantInit(&decimal);
    decimal.decVal.scale = 4;
    decimal.decVal.sign = DECIMAL_NEG;
    decimal.decVal.Hi32 = 7;
    decimal.decVal.Lo64 = 0x1122334455667788ull;
    decimal.vt = VT_DECIMAL;
    RoundTrip backDecimal(decimal);
    ASSERT_TRUE(backDecimal.made);
    EXPECT_EQ(backDecimal.value.vt, VT_DECIMAL);
    EXPECT_EQ(backDecimal.value.decVal.scale, 4);
    EXPECT_EQ(backDecimal.value.decVal.sign, DECIMAL_NEG);
    EXPECT_EQ(backDecimal.value.decVal.Hi32, 7u);
    EXPECT_EQ(backDecimal.value.decVal.Lo64, 0x1122334455667788ull);

    // A string with an embedded null and a character outside the basic plane, as code units.
    const OLECHAR units[] = {u'П', 0, 0xD83D, 0xDE00, u'x'};
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringLen(units, 5);
    RoundTrip backText(text);
    ASSERT_TRUE(backText.made);
    ASSERT_EQ(backText.value.vt, VT_BSTR);
    ASSERT_EQ(SysStringLen(backText.value.bstrVal), 5u);
    EXPECT_EQ(std::memcmp(backText.value.bstrVal, units, sizeof units), 0);
    VariantClear(&text);
}

TEST(ValueCoding, ArraysKeepTheirBoundsAndElements)
{
    // Two dimensions with lower bounds other than 0.
    SAFEARRAYBOUND bounds[2] = {{2, -1}, {3, 5}};
    VARIANT matrix;
    VariantInit(&matrix);
    matrix.vt = VT_ARRAY | VT_R8;
    matrix.parray = SafeArrayCreate(VT_R8, 2, bounds);
    double* cells = nullptr;
    ASSERT_EQ(SafeArrayAccessData(matrix.parray, reinterpret_cast<void**>(&cells)), S_OK);
    for (int i = 0; i < 6; ++i) cells[i] = i * 1.5;
    SafeArrayUnaccessData(matrix.parray);
    {
        RoundTrip back(matrix);
        ASSERT_TRUE(back.made);
        ASSERT_EQ(back.value.vt, VT_ARRAY | VT_R8);
        ASSERT_EQ(SafeArrayGetDim(back.value.parray), 2u);
        for (UINT dimension = 1; dimension <= 2; ++dimension) {
            LONG lower = 0, upper = 0, wantLower = 0, wantUpper = 0;
            SafeArrayGetLBound(back.value.parray, dimension, &lower);
            SafeArrayGetUBound(back.value.parray, dimension, &upper);
            SafeArrayGetLBound(matrix.parray, dimension, &wantLower);
            SafeArrayGetUBound(matrix.parray, dimension, &wantUpper);
            EXPECT_EQ(lower, wantLower);
            EXPECT_EQ(upper, wantUpper);
        }
        double* got = nullptr;
        ASSERT_EQ(SafeArrayAccessData(back.value.parray, reinterpret_cast<void**>(&got)), S_OK);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], i * 1.5);
        SafeArrayUnaccessData(back.value.parray);
    }
    VariantClear(&matrix);

    // Strings, and variants holding a string and an array of their own.
    VARIANT strings;
    VariantInit(&strings);
    strings.vt = VT_ARRAY | VT_BSTR;
    strings.parray = vectorOf(VT_BSTR, 0, 2);
    BSTR* texts = nullptr;
    SafeArrayAccessData(strings.parray, reinterpret_cast<void**>(&texts));
    texts[0] = SysAllocString(OLESTR("один"));
    texts[1] = nullptr;
    SafeArrayUnaccessData(strings.parray);

    VARIANT mixed;
    VariantInit(&mixed);
    mixed.vt = VT_ARRAY | VT_VARIANT;
    mixed.parray = vectorOf(VT_VARIANT, 1, 2);
    VARIANT* slots = nullptr;
    SafeArrayAccessData(mixed.parray, reinterpret_cast<void**>(&slots));
    slots[0].vt = VT_BSTR;
    slots[0].bstrVal = SysAllocString(OLESTR("two"));
    VariantCopy(&slots[1], &strings);
    SafeArrayUnaccessData(mixed.parray);
    {
        RoundTrip back(mixed);
        ASSERT_TRUE(back.made);
        ASSERT_EQ(back.value.vt, VT_ARRAY | VT_VARIANT);
        LONG lower = 0;
        SafeArrayGetLBound(back.value.parray, 1, &lower);
        EXPECT_EQ(lower, 1);
        VARIANT* got = nullptr;
        ASSERT_EQ(SafeArrayAccessData(back.value.parray, reinterpret_cast<void**>(&got)), S_OK);
        ASSERT_EQ(got[0].vt, VT_BSTR);
        EXPECT_EQ(platform::utf16ToUtf8(got[0].bstrVal), "two");
        ASSERT_EQ(got[1].vt, VT_ARRAY | VT_BSTR);
        BSTR* inner = nullptr;
        ASSERT_EQ(SafeArrayAccessData(got[1].parray, reinterpret_cast<void**>(&inner)), S_OK);
        EXPECT_EQ(platform::utf16ToUtf8(inner[0]), "один");
        EXPECT_EQ(inner[1], nullptr);
        SafeArrayUnaccessData(got[1].parray);
        SafeArrayUnaccessData(back.value.parray);
    }
    VariantClear(&mixed);
    VariantClear(&strings);
}

TEST(ValueCoding, WhatCannotTravelOrLiesIsRefusedWhole)
{
    // An interface points into the agent's process.
    VARIANT pointer;
    VariantInit(&pointer);
    pointer.vt = VT_UNKNOWN;
    pointer.punkVal = nullptr;
    RoundTrip back(pointer);
    EXPECT_FALSE(back.travelled);
    EXPECT_TRUE(back.made);
    EXPECT_EQ(back.value.vt, VT_EMPTY);

    // Values a broken or hostile agent could send.
    const auto decodes = [](const std::function<fb::Offset<Value>(fb::FlatBufferBuilder&)>& make) {
        fb::FlatBufferBuilder builder;
        builder.Finish(make(builder));
        fb::Verifier verifier(builder.GetBufferPointer(), builder.GetSize());
        EXPECT_TRUE(verifier.VerifyBuffer<Value>(nullptr));
        VARIANT made;
        const bool good = decodeValue(fb::GetRoot<Value>(builder.GetBufferPointer()), made);
        EXPECT_EQ(made.vt, good ? made.vt : VARTYPE{VT_EMPTY});
        VariantClear(&made);
        return good;
    };
    const auto strings = [](fb::FlatBufferBuilder& builder, int count) {
        std::vector<fb::Offset<Value>> elements;
        for (int i = 0; i < count; ++i)
            elements.push_back(CreateValue(builder, VT_BSTR, 0, 0, builder.CreateVector(std::vector<std::uint16_t>{u'a'})));
        return builder.CreateVector(elements);
    };
    EXPECT_FALSE(decodes([](fb::FlatBufferBuilder& b) { return CreateValue(b, VT_UNKNOWN); }));
    EXPECT_FALSE(decodes([](fb::FlatBufferBuilder& b) { return CreateValue(b, 0x7FFF); }));
    EXPECT_FALSE(decodes([](fb::FlatBufferBuilder& b) {
        return CreateValue(b, VT_DECIMAL, 0, b.CreateVector(std::vector<std::uint8_t>(15)));
    }));
    // More elements announced than sent, and fewer: the strings made before the lie are freed.
    EXPECT_FALSE(decodes([&](fb::FlatBufferBuilder& b) {
        const auto elements = strings(b, 3);
        const std::vector<ArrayBound> bounds{ArrayBound(0, 4)};
        return CreateValue(b, VT_ARRAY | VT_BSTR, 0, 0, 0, b.CreateVectorOfStructs(bounds), elements);
    }));
    EXPECT_FALSE(decodes([&](fb::FlatBufferBuilder& b) {
        const auto elements = strings(b, 3);
        const std::vector<ArrayBound> bounds{ArrayBound(0, 2)};
        return CreateValue(b, VT_ARRAY | VT_BSTR, 0, 0, 0, b.CreateVectorOfStructs(bounds), elements);
    }));
    // Dimensions whose product passes any real array, and an element of another type.
    EXPECT_FALSE(decodes([&](fb::FlatBufferBuilder& b) {
        const auto elements = strings(b, 1);
        const std::vector<ArrayBound> bounds{ArrayBound(0, 0x10000), ArrayBound(0, 0x10000), ArrayBound(0, 0x10000)};
        return CreateValue(b, VT_ARRAY | VT_BSTR, 0, 0, 0, b.CreateVectorOfStructs(bounds), elements);
    }));
    EXPECT_FALSE(decodes([&](fb::FlatBufferBuilder& b) {
        std::vector<fb::Offset<Value>> elements{CreateValue(b, VT_BSTR, 0, 0, b.CreateVector(std::vector<std::uint16_t>{u'a'})),
                                                CreateValue(b, VT_I4, 5)};
        const auto list = b.CreateVector(elements);
        const std::vector<ArrayBound> bounds{ArrayBound(0, 2)};
        return CreateValue(b, VT_ARRAY | VT_BSTR, 0, 0, 0, b.CreateVectorOfStructs(bounds), list);
    }));
    // A good one, so the checks above fail for the reason they name.
    EXPECT_TRUE(decodes([&](fb::FlatBufferBuilder& b) {
        const auto elements = strings(b, 3);
        const std::vector<ArrayBound> bounds{ArrayBound(0, 3)};
        return CreateValue(b, VT_ARRAY | VT_BSTR, 0, 0, 0, b.CreateVectorOfStructs(bounds), elements);
    }));
}

// A callback of every kind of value, its bytes changed and cut at random: each frame is refused,
// or every value in it is made or refused within the frame's bytes (the address sanitizer build
// tells a read past them, and a leak of what a refused array had made).
TEST(ValueCoding, MutatedCallbacksAreRefusedOrMadeWithinTheirBytes)
{
    fb::FlatBufferBuilder builder;
    std::vector<fb::Offset<CallbackItem>> items;
    const auto add = [&](const VARIANT& value) {
        bool travelled = true;
        items.push_back(CreateCallbackItem(builder, static_cast<std::uint32_t>(items.size()), encodeValue(builder, value, travelled)));
    };
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = 1.5;
    add(v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(OLESTR("Давление"));
    add(v);
    VariantClear(&v);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = vectorOf(VT_BSTR, 0, 3);
    BSTR* texts = nullptr;
    SafeArrayAccessData(v.parray, reinterpret_cast<void**>(&texts));
    for (int i = 0; i < 3; ++i) texts[i] = SysAllocString(OLESTR("abc"));
    SafeArrayUnaccessData(v.parray);
    add(v);
    VARIANT nested;
    VariantInit(&nested);
    nested.vt = VT_ARRAY | VT_VARIANT;
    nested.parray = vectorOf(VT_VARIANT, 0, 2);
    VARIANT* slots = nullptr;
    SafeArrayAccessData(nested.parray, reinterpret_cast<void**>(&slots));
    VariantCopy(&slots[0], &v);
    slots[1].vt = VT_I4;
    slots[1].lVal = 7;
    SafeArrayUnaccessData(nested.parray);
    add(nested);
    VariantClear(&nested);
    VariantClear(&v);
    const auto list = builder.CreateVector(items);
    builder.Finish(CreateEnvelope(builder, 0, Body::Callback, CreateCallback(builder, 1, 0, 0, 0, 0, list).Union()));
    std::vector<std::uint8_t> original = frameOf(builder);
    original.erase(original.begin(), original.begin() + 4);

    std::mt19937 random(20261209);
    int refused = 0, made = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> frame = original;
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int c = 0; c < changes && !frame.empty(); ++c) {
            const std::size_t at = random() % frame.size();
            switch (random() % 3) {
            case 0: frame[at] = static_cast<std::uint8_t>(random()); break;
            case 1: frame[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
            default: frame.resize(at); break;
            }
        }
        frame.shrink_to_fit();
        std::string error;
        const Envelope* message = messageOf(frame, error);
        const Callback* callback = message ? message->body_as_Callback() : nullptr;
        if (!callback || !callback->items()) {
            ++refused;
            continue;
        }
        for (const CallbackItem* item : *callback->items()) {
            VARIANT value;
            VariantInit(&value);
            if (item && decodeValue(item->value(), value)) ++made;
            VariantClear(&value);
        }
    }
    EXPECT_GT(refused, 1000);
    EXPECT_GT(made, 1000) << "changes in values only still make values";
}

} // namespace
