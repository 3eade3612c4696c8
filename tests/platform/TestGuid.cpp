// The layer's GUID text functions: the braced form only, exact length, hex in either case.
#include "platform/Guid.h"

#include <gtest/gtest.h>

namespace {

constexpr GUID kSample = {0x6764A030, 0xDE8C, 0x11CE, {0x8C, 0xA6, 0x00, 0xAA, 0x00, 0x6E, 0xE5, 0xF1}};

HRESULT parse(const char16_t* text, GUID& out) { return CLSIDFromString(text, &out); }

TEST(GuidText, ParsesTheBracedFormInEitherCase)
{
    GUID g{};
    ASSERT_EQ(parse(u"{6764A030-DE8C-11CE-8CA6-00AA006EE5F1}", g), S_OK);
    EXPECT_EQ(g, kSample);
    // Fields are numbers, so byte order within Data1..Data3 must follow the text, not memory.
    EXPECT_EQ(g.Data1, 0x6764A030u);
    EXPECT_EQ(g.Data2, 0xDE8C);
    EXPECT_EQ(g.Data4[7], 0xF1);

    GUID lower{};
    ASSERT_EQ(parse(u"{6764a030-de8c-11ce-8ca6-00aa006ee5f1}", lower), S_OK);
    EXPECT_EQ(lower, kSample);

    IID iid{};
    EXPECT_EQ(IIDFromString(u"{00000000-0000-0000-C000-000000000046}", &iid), S_OK);
    EXPECT_EQ(iid, IID_IUnknown);
}

TEST(GuidText, RejectsEverythingElseAndClearsTheResult)
{
    const char16_t* bad[] = {
        u"",
        u"6764A030-DE8C-11CE-8CA6-00AA006EE5F1",     // no braces
        u"{6764A030-DE8C-11CE-8CA6-00AA006EE5F1",    // no closing brace
        u"{6764A030-DE8C-11CE-8CA6-00AA006EE5F}",    // one digit short
        u"{6764A030-DE8C-11CE-8CA6-00AA006EE5F12}",  // one digit too many
        u"{6764A030-DE8C-11CE-8CA6-00AA006EE5F1}x",  // trailing junk
        u"{6764A030-DE8C-11CE-8CA6-00AA006EE5G1}",   // not hex
        u"{6764A030-DE8C-11CE-8CA600-AA006EE5F1}",   // hyphen in the wrong place
        u"{6764A030-DE8C-11CE+8CA6-00AA006EE5F1}",   // wrong separator
        u"{ 764A030-DE8C-11CE-8CA6-00AA006EE5F1}",   // blank for a digit
        u"(6764A030-DE8C-11CE-8CA6-00AA006EE5F1)",   // other brackets
        u"OPC.Simulation.1",                          // ProgIDs are not resolved
    };
    for (const char16_t* text : bad) {
        GUID g = kSample;
        EXPECT_EQ(parse(text, g), CO_E_CLASSSTRING) << platform::guidToString(g);
        EXPECT_EQ(g, GUID_NULL);
    }
}

TEST(GuidText, NullArgumentsAreInvalid)
{
    GUID g{};
    EXPECT_EQ(CLSIDFromString(nullptr, &g), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromString(u"{6764A030-DE8C-11CE-8CA6-00AA006EE5F1}", nullptr), E_INVALIDARG);
}

TEST(GuidText, WritesUpperCaseBracedFormWithTerminator)
{
    OLECHAR buffer[40];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(StringFromGUID2(kSample, buffer, 38), 0); // no room for the terminator
    ASSERT_EQ(StringFromGUID2(kSample, buffer, 40), 39);
    EXPECT_EQ(std::u16string(buffer), u"{6764A030-DE8C-11CE-8CA6-00AA006EE5F1}");
    EXPECT_EQ(buffer[39], u'#');
}

} // namespace
