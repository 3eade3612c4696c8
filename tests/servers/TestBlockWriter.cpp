// The bytes of data-change blocks, held against blocks written out by hand from the layout.
#include "ServerTestSupport.h"

#include "servers/kit/BlockWriter.h"

#include <cstring>

namespace {

using servers::kit::BlockItem;
using servers::kit::BlockWriter;

// Little-endian bytes, appended field by field as the layout lists them.
class Bytes {
public:
    Bytes& u8(BYTE v) { return raw(&v, 1); }
    Bytes& u16(WORD v) { return raw(&v, 2); }
    Bytes& u32(DWORD v) { return raw(&v, 4); }
    Bytes& u64(ULONGLONG v) { return raw(&v, 8); }
    Bytes& f32(float v) { return raw(&v, 4); }
    Bytes& f64(double v) { return raw(&v, 8); }
    Bytes& zeros(std::size_t n)
    {
        v.insert(v.end(), n, 0);
        return *this;
    }
    Bytes& chars(platform::WideStringView s)
    {
        for (WCHAR c : s) u16(c);
        return *this;
    }
    // A string tail: byte count, characters, two zero bytes.
    Bytes& bstrTail(platform::WideStringView s) { return u32(DWORD(s.size() * 2)).chars(s).u16(0); }
    // The VARIANT image of a type whose value follows in valueBytes bytes.
    Bytes& variant(VARTYPE vt) { return u16(vt).zeros(6); }
    Bytes& append(const Bytes& o)
    {
        v.insert(v.end(), o.v.begin(), o.v.end());
        return *this;
    }
    std::vector<BYTE> v;

private:
    Bytes& raw(const void* p, std::size_t n)
    {
        const auto* b = static_cast<const BYTE*>(p);
        v.insert(v.end(), b, b + n);
        return *this;
    }
};

constexpr OPCHANDLE kGroup = 0x11;
constexpr OPCHANDLE kClient = 0x22;
constexpr FILETIME kTime{0x89ABCDEF, 0x01D9A5B4};

// A block of one item, as the layout gives it: group header, one 20-byte item header, the record.
std::vector<BYTE> singleBlock(const Bytes& record, WORD quality = OPC_QUALITY_GOOD, HRESULT status = S_OK)
{
    Bytes b;
    b.u32(DWORD(40 + record.v.size())).u32(1).u32(kGroup).u32(0).u32(DWORD(status));
    b.u32(kClient).u32(40).u16(quality).u16(0).u32(kTime.dwLowDateTime).u32(kTime.dwHighDateTime);
    return b.append(record).v;
}

std::vector<BYTE> writeOne(const VARIANT& v, WORD quality = OPC_QUALITY_GOOD)
{
    const BlockItem item{kClient, quality, kTime, &v};
    return BlockWriter().build(std::span<const BlockItem>(&item, 1), kGroup);
}

class Value {
public:
    Value() { VariantInit(&v); }
    ~Value() { VariantClear(&v); }
    VARIANT v;
};

SAFEARRAY* vector(VARTYPE vt, LONG lbound, ULONG n) { return SafeArrayCreateVector(vt, lbound, n); }

TEST(BlockWriter, FixedSizeScalarsTakeTheirBytesAtOffset8AndZerosAfter)
{
    Value v;
    v.v.vt = VT_I2;
    v.v.iVal = -2;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_I2).u16(0xFFFE).zeros(6)));

    v.v.vt = VT_I4;
    v.v.llVal = 0x7777777712345678LL;   // the upper half is another arm's leftover
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_I4).u32(0x12345678).zeros(4)));

    v.v.llVal = 0;
    v.v.vt = VT_R4;
    v.v.fltVal = 1.5f;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_R4).f32(1.5f).zeros(4)));

    v.v.vt = VT_R8;
    v.v.dblVal = -1234.5678;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_R8).f64(-1234.5678)));

    v.v.vt = VT_BOOL;
    v.v.llVal = 0;
    v.v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_BOOL).u16(0xFFFF).zeros(6)));

    v.v.vt = VT_CY;
    v.v.cyVal.int64 = 12345678;   // 1234.5678
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_CY).u64(12345678)));

    v.v.vt = VT_DATE;
    v.v.date = 36526.5;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_DATE).f64(36526.5)));

    v.v.vt = VT_I8;
    v.v.llVal = -5;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_I8).u64(0xFFFFFFFFFFFFFFFBull)));

    v.v.vt = VT_UI8;
    v.v.ullVal = 0x8000000000000001ull;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_UI8).u64(0x8000000000000001ull)));

    v.v.llVal = 0x7777777777777777LL;
    v.v.vt = VT_I1;
    v.v.cVal = -1;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_I1).u8(0xFF).zeros(7)));
    v.v.vt = VT_UI2;
    v.v.uiVal = 0xBEEF;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_UI2).u16(0xBEEF).zeros(6)));
}

TEST(BlockWriter, EmptyAndDecimalFillTheImageAsTheyAre)
{
    Value v;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_EMPTY).zeros(8)));

    v.v.decVal.scale = 2;
    v.v.decVal.sign = DECIMAL_NEG;
    v.v.decVal.Hi32 = 0x01020304;
    v.v.decVal.Lo64 = 0x1122334455667788ull;
    v.v.vt = VT_DECIMAL;
    EXPECT_EQ(writeOne(v.v),
              singleBlock(Bytes().u16(VT_DECIMAL).u8(2).u8(DECIMAL_NEG).u32(0x01020304).u64(0x1122334455667788ull)));
}

TEST(BlockWriter, StringsFollowTheImageWithByteCountCharactersAndTerminator)
{
    Value v;
    v.v.vt = VT_BSTR;
    v.v.bstrVal = SysAllocString(OLESTR("AB"));
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_BSTR).zeros(8).u32(4).u8(0x41).u8(0).u8(0x42).u8(0).u16(0)));
    SysFreeString(v.v.bstrVal);

    v.v.bstrVal = SysAllocString(OLESTR(""));
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_BSTR).zeros(8).u32(0).u16(0)));
    SysFreeString(v.v.bstrVal);

    // A null BSTR is the empty string.
    v.v.bstrVal = nullptr;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_BSTR).zeros(8).u32(0).u16(0)));

    // Cyrillic: U+0416 U+0443 U+043A.
    v.v.bstrVal = SysAllocString(OLESTR("Жук"));
    EXPECT_EQ(writeOne(v.v),
              singleBlock(Bytes().variant(VT_BSTR).zeros(8).u32(6).u8(0x16).u8(0x04).u8(0x43).u8(0x04).u8(0x3A).u8(0x04).u16(0)));
    SysFreeString(v.v.bstrVal);

    // Embedded zeros count: the byte count is the string's, not up to the first zero.
    const WCHAR embedded[] = {OLESTR('a'), 0, OLESTR('b')};
    v.v.bstrVal = SysAllocStringLen(embedded, 3);
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes().variant(VT_BSTR).zeros(8).bstrTail(platform::WideStringView(embedded, 3))));
}

TEST(BlockWriter, ArraysFollowTheImageWithA24ByteHeaderAndTheElements)
{
    Value v;
    v.v.vt = VT_ARRAY | VT_I2;
    v.v.parray = vector(VT_I2, 0, 3);
    const SHORT shorts[] = {1, -2, 3};
    for (LONG i = 0; i < 3; ++i) SafeArrayPutElement(v.v.parray, &i, const_cast<SHORT*>(&shorts[i]));
    const WORD features = v.v.parray->fFeatures;
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes()
                                             .variant(VT_ARRAY | VT_I2).zeros(8)
                                             .u16(1).u16(features).u32(2).u32(0).u32(0).u32(3).u32(0)
                                             .u16(1).u16(0xFFFE).u16(3)));
    VariantClear(&v.v);

    // The lower bound travels as it is.
    v.v.vt = VT_ARRAY | VT_R8;
    v.v.parray = vector(VT_R8, 1, 2);
    double doubles[] = {0.5, -1e10};
    for (LONG i = 1; i <= 2; ++i) SafeArrayPutElement(v.v.parray, &i, &doubles[i - 1]);
    EXPECT_EQ(writeOne(v.v), singleBlock(Bytes()
                                             .variant(VT_ARRAY | VT_R8).zeros(8)
                                             .u16(1).u16(v.v.parray->fFeatures).u32(8).u32(0).u32(0).u32(2).u32(1)
                                             .f64(0.5).f64(-1e10)));
    VariantClear(&v.v);

    // Strings are packed one after the other, with no pointer table, and cbElements is the
    // 4-byte pointer of the 32-bit image: 24 + 8 + 6 bytes after the image.
    v.v.vt = VT_ARRAY | VT_BSTR;
    v.v.parray = vector(VT_BSTR, 0, 2);
    BSTR a = SysAllocString(OLESTR("A"));
    LONG zero = 0;
    SafeArrayPutElement(v.v.parray, &zero, a);
    SysFreeString(a);
    const std::vector<BYTE> block = writeOne(v.v);
    EXPECT_EQ(block, singleBlock(Bytes()
                                     .variant(VT_ARRAY | VT_BSTR).zeros(8)
                                     .u16(1).u16(v.v.parray->fFeatures).u32(4).u32(0).u32(0).u32(2).u32(0)
                                     .bstrTail(OLESTR("A")).bstrTail(OLESTR(""))));
    EXPECT_EQ(block.size() - 40, 54u);
}

TEST(BlockWriter, TwoItemsAsInTheWorkedExample)
{
    Value r4;
    r4.v.vt = VT_R4;
    r4.v.fltVal = 2.5f;
    Value text;
    text.v.vt = VT_BSTR;
    text.v.bstrVal = SysAllocString(OLESTR("AB"));
    const BlockItem items[] = {{7, OPC_QUALITY_GOOD, kTime, &r4.v}, {8, OPC_QUALITY_GOOD, kTime, &text.v}};
    const std::vector<BYTE> block = BlockWriter().build(items, kGroup);

    Bytes expected;
    expected.u32(102).u32(2).u32(kGroup).u32(0).u32(S_OK);
    expected.u32(7).u32(60).u16(OPC_QUALITY_GOOD).u16(0).u32(kTime.dwLowDateTime).u32(kTime.dwHighDateTime);
    expected.u32(8).u32(76).u16(OPC_QUALITY_GOOD).u16(0).u32(kTime.dwLowDateTime).u32(kTime.dwHighDateTime);
    expected.variant(VT_R4).f32(2.5f).zeros(4);
    expected.variant(VT_BSTR).zeros(8).bstrTail(OLESTR("AB"));
    EXPECT_EQ(block, expected.v);
    EXPECT_EQ(BlockWriter().blockSize(items), 102u);
}

TEST(BlockWriter, DataFormatHasTwelveByteHeadersWithoutTimeStamps)
{
    Value a;
    a.v.vt = VT_I4;
    a.v.lVal = 3;
    const BlockItem items[] = {{1, OPC_QUALITY_GOOD, kTime, &a.v}, {2, OPC_QUALITY_GOOD, kTime, &a.v}};
    const std::vector<BYTE> block = BlockWriter(BlockWriter::Format::Data).build(items, kGroup, 5);
    Bytes expected;
    expected.u32(20 + 24 + 32).u32(2).u32(kGroup).u32(5).u32(S_OK);
    expected.u32(1).u32(44).u16(OPC_QUALITY_GOOD).u16(0);
    expected.u32(2).u32(60).u16(OPC_QUALITY_GOOD).u16(0);
    expected.variant(VT_I4).u32(3).zeros(4).variant(VT_I4).u32(3).zeros(4);
    EXPECT_EQ(block, expected.v);
}

TEST(BlockWriter, StatusIsSFalseWhenAnyQualityIsNotGood)
{
    Value a;
    a.v.vt = VT_I2;
    BlockItem items[] = {{1, OPC_QUALITY_GOOD, kTime, &a.v}, {2, OPC_QUALITY_LOCAL_OVERRIDE, kTime, &a.v}};
    EXPECT_EQ(servertest::BlockReader(BlockWriter().build(items, kGroup)).status(), S_OK);
    items[1].quality = OPC_QUALITY_SUB_NORMAL;
    EXPECT_EQ(servertest::BlockReader(BlockWriter().build(items, kGroup)).status(), S_FALSE);
    items[1].quality = OPC_QUALITY_GOOD | OPC_LIMIT_HIGH;
    items[0].quality = OPC_QUALITY_COMM_FAILURE;
    EXPECT_EQ(servertest::BlockReader(BlockWriter().build(items, kGroup)).status(), S_FALSE);
    EXPECT_EQ(servertest::BlockReader(BlockWriter().build({}, kGroup)).bytes(),
              Bytes().u32(20).u32(0).u32(kGroup).u32(0).u32(S_OK).v);
}

TEST(BlockWriter, ValuesTheStreamCannotCarryBecomeEmptyAndBad)
{
    LONG target = 5;
    Value byRef;
    byRef.v.vt = VT_BYREF | VT_I4;
    byRef.v.plVal = &target;
    EXPECT_EQ(writeOne(byRef.v), singleBlock(Bytes().variant(VT_EMPTY).zeros(8), OPC_QUALITY_BAD, S_FALSE));
    byRef.v.vt = VT_EMPTY;

    Value twoDims;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    twoDims.v.vt = VT_ARRAY | VT_I4;
    twoDims.v.parray = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(twoDims.v.parray, nullptr);
    EXPECT_EQ(writeOne(twoDims.v), singleBlock(Bytes().variant(VT_EMPTY).zeros(8), OPC_QUALITY_BAD, S_FALSE));

    Value variants;
    variants.v.vt = VT_ARRAY | VT_VARIANT;
    variants.v.parray = vector(VT_VARIANT, 0, 1);
    EXPECT_EQ(writeOne(variants.v), singleBlock(Bytes().variant(VT_EMPTY).zeros(8), OPC_QUALITY_BAD, S_FALSE));

    // The next item still lands where its header says.
    Value good;
    good.v.vt = VT_I2;
    good.v.iVal = 9;
    const BlockItem items[] = {{1, OPC_QUALITY_GOOD, kTime, &variants.v}, {2, OPC_QUALITY_GOOD, kTime, &good.v}};
    const servertest::BlockReader r(BlockWriter().build(items, kGroup));
    EXPECT_EQ(r.offset(1), 60u + 16u);
    EXPECT_EQ(r.vt(1), VT_I2);
    EXPECT_EQ(r.u16(r.offset(1) + 8), 9);
}

TEST(BlockWriter, GlobalBlockHasExactlyTheBytesOfTheBlock)
{
    Value text;
    text.v.vt = VT_BSTR;
    text.v.bstrVal = SysAllocString(OLESTR("Температура"));
    const BlockItem items[] = {{3, OPC_QUALITY_GOOD, kTime, &text.v}, {4, OPC_QUALITY_UNCERTAIN, kTime, nullptr}};
    const std::vector<BYTE> bytes = BlockWriter().build(items, kGroup);
    HGLOBAL block = BlockWriter().buildGlobal(items, kGroup);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(GlobalSize(block), bytes.size());
    const void* p = GlobalLock(block);
    EXPECT_EQ(std::memcmp(p, bytes.data(), bytes.size()), 0);
    GlobalUnlock(block);
    EXPECT_EQ(GlobalFree(block), nullptr);
}

} // namespace
