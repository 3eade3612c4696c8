#include "client/DataChangeBlock.h"
#include "client/ValueText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Builds blocks byte by byte, the way the stream is laid out, independent of any writer.
class Bytes {
public:
    Bytes& u8(unsigned v) { _b.push_back(static_cast<unsigned char>(v)); return *this; }
    Bytes& u16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
    Bytes& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& u64(std::uint64_t v) { return u32(std::uint32_t(v)).u32(std::uint32_t(v >> 32)); }
    Bytes& f64(double v) { std::uint64_t b; std::memcpy(&b, &v, 8); return u64(b); }
    Bytes& f32(float v) { std::uint32_t b; std::memcpy(&b, &v, 4); return u32(b); }
    Bytes& zeros(std::size_t n) { _b.insert(_b.end(), n, 0); return *this; }
    Bytes& utf16(const platform::WideString& s) { for (WCHAR c : s) u16(c); return *this; }
    Bytes& bstrTail(const platform::WideString& s) { return u32(std::uint32_t(s.size() * 2)).utf16(s).u16(0); }
    // A VARIANT image: tag, three reserved words, then the eight value bytes.
    Bytes& variant(VARTYPE vt) { return u16(vt).zeros(6); }
    Bytes& arrayHeader(unsigned elementBytes, std::uint32_t count, std::int32_t lower)
    {
        return u16(1).u16(0).u32(elementBytes).u32(0).u32(0).u32(count).u32(std::uint32_t(lower));
    }
    std::size_t size() const { return _b.size(); }
    std::vector<unsigned char>& bytes() { return _b; }
    void put32(std::size_t at, std::uint32_t v) { for (int i = 0; i < 4; ++i) _b[at + i] = (v >> (8 * i)) & 0xFF; }

private:
    std::vector<unsigned char> _b;
};

// A block with one item per record; records are appended after all headers and their offsets
// patched in.
struct BlockBuilder {
    std::vector<Bytes> records;
    std::vector<std::uint32_t> handles;
    HRESULT status = S_OK;

    void add(std::uint32_t handle, Bytes record) { handles.push_back(handle); records.push_back(std::move(record)); }

    std::vector<unsigned char> build()
    {
        Bytes block;
        const std::size_t n = records.size();
        block.u32(0).u32(std::uint32_t(n)).u32(1234).u32(0).u32(std::uint32_t(status));
        std::size_t offset = 20 + 20 * n;
        for (std::size_t i = 0; i < n; ++i) {
            block.u32(handles[i]).u32(std::uint32_t(offset)).u16(0xC0).u16(0).u64(0x01D0000000000000ull + i);
            offset += records[i].size();
        }
        for (auto& r : records) block.bytes().insert(block.bytes().end(), r.bytes().begin(), r.bytes().end());
        block.put32(0, std::uint32_t(block.size()));
        return block.bytes();
    }
};

struct Decoded {
    DataChangeBlock::Value result;
    platform::Variant value;
};

Decoded decodeOne(Bytes record)
{
    BlockBuilder builder;
    builder.add(0, std::move(record));
    const auto bytes = builder.build();
    const DataChangeBlock block(bytes.data(), bytes.size());
    DataChangeBlock::ItemHeader header;
    EXPECT_TRUE(block.itemHeader(0, header));
    Decoded d;
    d.result = block.readValue(header.valueOffset, *d.value.get());
    return d;
}

} // namespace

TEST(DataChangeBlock, ReadsGroupAndItemHeaders)
{
    BlockBuilder builder;
    builder.status = S_FALSE;
    builder.add(7, Bytes().variant(VT_I4).u32(42).u32(0));
    builder.add(0xFFFFFFFF, Bytes().variant(VT_EMPTY).u64(0));
    const auto bytes = builder.build();
    const DataChangeBlock block(bytes.data(), bytes.size());
    ASSERT_TRUE(block.valid());
    EXPECT_EQ(block.declaredSize(), bytes.size());
    EXPECT_EQ(block.itemCount(), 2u);
    EXPECT_EQ(block.clientGroup(), 1234u);
    EXPECT_EQ(block.status(), S_FALSE);
    EXPECT_EQ(block.headersThatFit(), 2u);
    DataChangeBlock::ItemHeader h;
    ASSERT_TRUE(block.itemHeader(1, h));
    EXPECT_EQ(h.clientHandle, 0xFFFFFFFFu);
    EXPECT_EQ(h.valueOffset, 20u + 40u + 16u);
    EXPECT_EQ(h.quality, 0xC0);
    EXPECT_EQ(h.timeStamp.dwLowDateTime, 1u);
    EXPECT_EQ(h.timeStamp.dwHighDateTime, 0x01D00000u);
    EXPECT_FALSE(block.itemHeader(2, h));
}

TEST(DataChangeBlock, DecodesEveryScalarType)
{
    struct Case {
        VARTYPE vt;
        std::uint64_t bits;
    };
    const double r8 = -1234.5;
    std::uint64_t r8bits;
    std::memcpy(&r8bits, &r8, 8);
    const float r4 = 0.1f;
    std::uint32_t r4bits;
    std::memcpy(&r4bits, &r4, 4);
    for (const Case& c : {Case{VT_I1, 0xF6}, Case{VT_UI1, 200}, Case{VT_I2, 0x8001}, Case{VT_UI2, 0xFFFE},
                          Case{VT_I4, 0x80000000u}, Case{VT_UI4, 0xFFFFFFFFu}, Case{VT_I8, 0x8000000000000001ull},
                          Case{VT_UI8, 0xFFFFFFFFFFFFFFFFull}, Case{VT_R4, r4bits}, Case{VT_R8, r8bits},
                          Case{VT_BOOL, 0xFFFF}, Case{VT_CY, 123456789}, Case{VT_DATE, r8bits},
                          Case{VT_ERROR, 0x80004005u}, Case{VT_NULL, 0}, Case{VT_EMPTY, 0}}) {
        SCOPED_TRACE(c.vt);
        // Garbage beyond the value's own width must not leak into it.
        Bytes record = Bytes().variant(c.vt).u64(c.bits);
        Decoded d = decodeOne(record);
        ASSERT_EQ(d.result, DataChangeBlock::Value::Ok);
        EXPECT_EQ(d.value->vt, c.vt);
        switch (c.vt) {
        case VT_I1: EXPECT_EQ(static_cast<signed char>(d.value->cVal), -10); break;
        case VT_UI1: EXPECT_EQ(d.value->bVal, 200); break;
        case VT_I2: EXPECT_EQ(d.value->iVal, -32767); break;
        case VT_UI2: EXPECT_EQ(d.value->uiVal, 0xFFFE); break;
        case VT_I4: EXPECT_EQ(d.value->lVal, INT32_MIN); break;
        case VT_UI4: EXPECT_EQ(d.value->ulVal, 0xFFFFFFFFu); break;
        case VT_I8: EXPECT_EQ(d.value->llVal, static_cast<LONGLONG>(0x8000000000000001ull)); break;
        case VT_UI8: EXPECT_EQ(d.value->ullVal, 0xFFFFFFFFFFFFFFFFull); break;
        case VT_R4: EXPECT_EQ(d.value->fltVal, 0.1f); break;
        case VT_R8: EXPECT_EQ(d.value->dblVal, -1234.5); break;
        case VT_DATE: EXPECT_EQ(d.value->date, -1234.5); break;
        case VT_BOOL: EXPECT_EQ(d.value->boolVal, VARIANT_TRUE); break;
        case VT_CY: EXPECT_EQ(d.value->cyVal.int64, 123456789); break;
        case VT_ERROR: EXPECT_EQ(d.value->scode, E_FAIL); break;
        default: break;
        }
    }
}

TEST(DataChangeBlock, DecodesDecimalThatFillsTheImage)
{
    Bytes record;
    record.u16(VT_DECIMAL).u8(2).u8(DECIMAL_NEG).u32(1).u64(5);
    Decoded d = decodeOne(record);
    ASSERT_EQ(d.result, DataChangeBlock::Value::Ok);
    EXPECT_EQ(d.value->vt, VT_DECIMAL);
    EXPECT_EQ(d.value->decVal.scale, 2);
    EXPECT_EQ(d.value->decVal.sign, DECIMAL_NEG);
    EXPECT_EQ(d.value->decVal.Hi32, 1u);
    EXPECT_EQ(d.value->decVal.Lo64, 5u);
}

TEST(DataChangeBlock, StringsBecomeRealBstrs)
{
    for (const platform::WideString& text : {platform::WideString(OLESTR("AB")), platform::WideString(OLESTR("")), platform::WideString(OLESTR("Температура")),
                                       platform::WideString(OLESTR("a\0b"), 3)}) {
        Decoded d = decodeOne(Bytes().variant(VT_BSTR).u64(0xDEADBEEF).bstrTail(text));
        ASSERT_EQ(d.result, DataChangeBlock::Value::Ok);
        ASSERT_EQ(d.value->vt, VT_BSTR);
        ASSERT_NE(d.value->bstrVal, nullptr);
        EXPECT_EQ(SysStringLen(d.value->bstrVal), text.size());
        EXPECT_EQ(platform::WideString(d.value->bstrVal, SysStringLen(d.value->bstrVal)), text);
        EXPECT_EQ(d.value->bstrVal[text.size()], 0) << "a BSTR ends in a zero character";
    }
}

TEST(DataChangeBlock, StringsWithAnOddByteCountKeepTheirWholeCharacters)
{
    // UTF-16 has no odd byte counts, but a server may send one: the stray last byte is no
    // character, the string still ends in a whole zero character, and the record's own length
    // (count, characters, terminator) still leads to the next record.
    for (std::uint32_t count : {1u, 5u, 255u}) {
        SCOPED_TRACE(count);
        Bytes record = Bytes().variant(VT_BSTR).u64(0).u32(count);
        for (std::uint32_t i = 0; i < count; ++i) record.u8(i % 2 == 0 ? 'A' + i % 26 : 0);
        record.u16(0);
        BlockBuilder builder;
        builder.add(0, std::move(record));
        builder.add(1, Bytes().variant(VT_I4).u32(77).u32(0));
        const auto bytes = builder.build();
        const DataChangeBlock block(bytes.data(), bytes.size());
        DataChangeBlock::ItemHeader first, second;
        ASSERT_TRUE(block.itemHeader(0, first));
        ASSERT_TRUE(block.itemHeader(1, second));
        platform::Variant text, number;
        ASSERT_EQ(block.readValue(first.valueOffset, *text.get()), DataChangeBlock::Value::Ok);
        ASSERT_EQ(text->vt, VT_BSTR);
        EXPECT_EQ(SysStringByteLen(text->bstrVal), count - 1);
        EXPECT_EQ(SysStringLen(text->bstrVal), count / 2);
        EXPECT_EQ(text->bstrVal[count / 2], 0);
        std::string expected;
        for (std::uint32_t i = 0; i + 1 < count; i += 2) expected += char('A' + i % 26);
        EXPECT_EQ(valueText(*text.get()), expected);
        ASSERT_EQ(block.readValue(second.valueOffset, *number.get()), DataChangeBlock::Value::Ok);
        EXPECT_EQ(number->lVal, 77);
    }
    // String elements of an array: each with its odd count, the walk still ends where the record
    // does.
    Bytes array = Bytes().variant(VT_ARRAY | VT_BSTR).u64(0).arrayHeader(4, 2, 0);
    array.u32(3).u8('x').u8(0).u8('y').u16(0).u32(1).u8('z').u16(0);
    Decoded d = decodeOne(array);
    ASSERT_EQ(d.result, DataChangeBlock::Value::Ok);
    BSTR* strings = static_cast<BSTR*>(d.value->parray->pvData);
    EXPECT_EQ(platform::WideString(strings[0], SysStringLen(strings[0])), OLESTR("x"));
    EXPECT_EQ(SysStringLen(strings[1]), 0u);
    EXPECT_EQ(strings[1][0], 0);
}

TEST(DataChangeBlock, ArraysBecomeRealSafeArrays)
{
    {
        Decoded d = decodeOne(Bytes().variant(VT_ARRAY | VT_I2).u64(0).arrayHeader(2, 3, -1).u16(1).u16(0xFFFF).u16(300));
        ASSERT_EQ(d.result, DataChangeBlock::Value::Ok);
        ASSERT_EQ(d.value->vt, VT_ARRAY | VT_I2);
        LONG lower = 0, upper = 0;
        SafeArrayGetLBound(d.value->parray, 1, &lower);
        SafeArrayGetUBound(d.value->parray, 1, &upper);
        EXPECT_EQ(lower, -1);
        EXPECT_EQ(upper, 1);
        const SHORT* data = static_cast<const SHORT*>(d.value->parray->pvData);
        EXPECT_EQ(data[0], 1);
        EXPECT_EQ(data[1], -1);
        EXPECT_EQ(data[2], 300);
    }
    {
        Decoded d = decodeOne(Bytes().variant(VT_ARRAY | VT_R8).u64(0).arrayHeader(8, 2, 0).f64(1.5).f64(-2.25));
        ASSERT_EQ(d.result, DataChangeBlock::Value::Ok);
        const double* data = static_cast<const double*>(d.value->parray->pvData);
        EXPECT_EQ(data[0], 1.5);
        EXPECT_EQ(data[1], -2.25);
    }
}

TEST(DataChangeBlock, StringArraysInBothLayouts)
{
    auto check = [](Decoded d) {
        ASSERT_EQ(d.result, DataChangeBlock::Value::Ok);
        ASSERT_EQ(d.value->vt, VT_ARRAY | VT_BSTR);
        BSTR* data = static_cast<BSTR*>(d.value->parray->pvData);
        EXPECT_EQ(platform::WideString(data[0]), OLESTR("A"));
        EXPECT_EQ(SysStringLen(data[1]), 0u);
        EXPECT_EQ(platform::WideString(data[2]), OLESTR("Цех"));
    };
    // Strings right after the header.
    Bytes packed = Bytes().variant(VT_ARRAY | VT_BSTR).u64(0).arrayHeader(4, 3, 0);
    packed.bstrTail(OLESTR("A")).bstrTail(OLESTR("")).bstrTail(OLESTR("Цех"));
    check(decodeOne(packed));
    // A table of 4-byte pointers first, then the strings: told apart by the record's length.
    Bytes withTable = Bytes().variant(VT_ARRAY | VT_BSTR).u64(0).arrayHeader(4, 3, 0);
    withTable.u32(0x11111111).u32(0x00000008).u32(0x33333333).bstrTail(OLESTR("A")).bstrTail(OLESTR("")).bstrTail(OLESTR("Цех"));
    check(decodeOne(withTable));
}

TEST(DataChangeBlock, VariantArrayElementsCarryTheirStrings)
{
    Bytes record = Bytes().variant(VT_ARRAY | VT_VARIANT).u64(0).arrayHeader(16, 2, 0);
    record.variant(VT_I4).u32(5).u32(0).variant(VT_BSTR).u64(0).bstrTail(OLESTR("x"));
    Decoded d = decodeOne(record);
    ASSERT_EQ(d.result, DataChangeBlock::Value::Ok);
    const VARIANT* data = static_cast<const VARIANT*>(d.value->parray->pvData);
    EXPECT_EQ(data[0].vt, VT_I4);
    EXPECT_EQ(data[0].lVal, 5);
    ASSERT_EQ(data[1].vt, VT_BSTR);
    EXPECT_EQ(platform::WideString(data[1].bstrVal), OLESTR("x"));
}

TEST(DataChangeBlock, RecordsThatDoNotFitAreRefused)
{
    // A string whose count runs past the end of the block.
    Bytes cut = Bytes().variant(VT_BSTR).u64(0).u32(100).utf16(OLESTR("short"));
    EXPECT_EQ(decodeOne(cut).result, DataChangeBlock::Value::DoesNotFit);
    // An array announcing more elements than there are bytes (and far more than memory).
    Bytes huge = Bytes().variant(VT_ARRAY | VT_R8).u64(0).arrayHeader(8, 0xFFFFFFFF, 0).f64(1);
    EXPECT_EQ(decodeOne(huge).result, DataChangeBlock::Value::DoesNotFit);
    Bytes hugeStrings = Bytes().variant(VT_ARRAY | VT_BSTR).u64(0).arrayHeader(4, 0x40000000, 0).bstrTail(OLESTR("a"));
    EXPECT_EQ(decodeOne(hugeStrings).result, DataChangeBlock::Value::DoesNotFit);
    // A VARIANT image cut short.
    EXPECT_EQ(decodeOne(Bytes().u16(VT_I4).zeros(4)).result, DataChangeBlock::Value::DoesNotFit);
    // An array header cut short.
    EXPECT_EQ(decodeOne(Bytes().variant(VT_ARRAY | VT_I4).u64(0).u16(1)).result, DataChangeBlock::Value::DoesNotFit);

    // Offsets past the end, or so close to it that offset + 16 would wrap.
    BlockBuilder builder;
    builder.add(0, Bytes().variant(VT_I4).u64(1));
    auto bytes = builder.build();
    const DataChangeBlock block(bytes.data(), bytes.size());
    platform::Variant v;
    EXPECT_EQ(block.readValue(std::uint32_t(bytes.size()), *v.get()), DataChangeBlock::Value::DoesNotFit);
    EXPECT_EQ(block.readValue(0xFFFFFFF8u, *v.get()), DataChangeBlock::Value::DoesNotFit);
    EXPECT_EQ(v->vt, VT_EMPTY);
}

TEST(DataChangeBlock, PointerTypesAreNeverTakenFromTheBlock)
{
    for (VARTYPE vt : {VARTYPE(VT_BYREF | VT_I4), VARTYPE(VT_UNKNOWN), VARTYPE(VT_DISPATCH), VARTYPE(VT_RECORD),
                       VARTYPE(VT_VARIANT), VARTYPE(VT_LPSTR), VARTYPE(0x0FFE), VARTYPE(VT_VECTOR | VT_I2)}) {
        SCOPED_TRACE(vt);
        EXPECT_EQ(decodeOne(Bytes().variant(vt).u64(0x12345678)).result, DataChangeBlock::Value::Unsupported);
    }
    Bytes twoDims = Bytes().variant(VT_ARRAY | VT_I2).u64(0).u16(2).u16(0).u32(2).u32(0).u32(0).u32(1).u32(0).u32(1).u32(0).u16(1);
    EXPECT_EQ(decodeOne(twoDims).result, DataChangeBlock::Value::Unsupported);
    Bytes wrongWidth = Bytes().variant(VT_ARRAY | VT_I4).u64(0).arrayHeader(8, 1, 0).u64(1);
    EXPECT_EQ(decodeOne(wrongWidth).result, DataChangeBlock::Value::Unsupported);
}

TEST(DataChangeBlock, HeadersPastTheEndAreNotRead)
{
    BlockBuilder builder;
    builder.add(0, Bytes().variant(VT_I4).u64(1));
    auto bytes = builder.build();
    bytes[4] = 0xFF;  // announce far more items than fit
    bytes[5] = 0xFF;
    bytes[6] = 0xFF;
    bytes[7] = 0xFF;
    const DataChangeBlock block(bytes.data(), bytes.size());
    EXPECT_EQ(block.itemCount(), 0xFFFFFFFFu);
    EXPECT_EQ(block.headersThatFit(), (bytes.size() - 20) / 20);

    const DataChangeBlock tiny(bytes.data(), 19);
    EXPECT_FALSE(tiny.valid());
    EXPECT_EQ(tiny.headersThatFit(), 0u);
    EXPECT_EQ(tiny.itemCount(), 0u);
    const DataChangeBlock none(nullptr, 100);
    EXPECT_FALSE(none.valid());
}

TEST(DataChangeBlock, BlockWithoutTimeStampsUsesShortHeaders)
{
    Bytes block;
    block.u32(0).u32(1).u32(1).u32(0).u32(0);
    block.u32(3).u32(32).u16(0x40).u16(0);
    block.variant(VT_I2).u16(-5 & 0xFFFF).zeros(6);
    block.put32(0, std::uint32_t(block.size()));
    const DataChangeBlock reader(block.bytes().data(), block.size(), false);
    DataChangeBlock::ItemHeader h;
    ASSERT_TRUE(reader.itemHeader(0, h));
    EXPECT_EQ(h.clientHandle, 3u);
    EXPECT_EQ(h.quality, 0x40);
    EXPECT_EQ(h.timeStamp.dwHighDateTime, 0u);
    platform::Variant v;
    ASSERT_EQ(reader.readValue(h.valueOffset, *v.get()), DataChangeBlock::Value::Ok);
    EXPECT_EQ(v->iVal, -5);
}
