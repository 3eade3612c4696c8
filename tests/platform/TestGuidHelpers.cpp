// The program's GUID texts in 8-bit form: the braced upper-case form out, only the braced form in.
#include "platform/Guid.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace {

constexpr GUID kSample = {0x6764A030, 0xDE8C, 0x11CE, {0x8C, 0xA6, 0x00, 0xAA, 0x00, 0x6E, 0xE5, 0xF1}};

TEST(GuidHelpers, WritesTheBracedUpperCaseForm)
{
    EXPECT_EQ(platform::guidToString(kSample), "{6764A030-DE8C-11CE-8CA6-00AA006EE5F1}");
    EXPECT_EQ(platform::guidToString(GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
}

TEST(GuidHelpers, RoundTripsAndReadsEitherCase)
{
    const GUID samples[] = {kSample, GUID_NULL, IID_IDataObject,
                            GUID{0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}};
    for (const GUID& g : samples) {
        GUID back{};
        ASSERT_TRUE(platform::guidFromString(platform::guidToString(g), back));
        EXPECT_EQ(back, g);
    }
    GUID lower{};
    ASSERT_TRUE(platform::guidFromString("{6764a030-de8c-11ce-8ca6-00aa006ee5f1}", lower));
    EXPECT_EQ(lower, kSample);
}

TEST(GuidHelpers, RejectsEverythingElseAndLeavesTheResultAlone)
{
    const std::string bad[] = {
        "",
        "{6764A030-DE8C-11CE-8CA6-00AA006EE5F1} ",
        std::string("{6764A030-DE8C-11CE-8CA6-00AA006EE5F1", 37) + '\0',
        "6764A030-DE8C-11CE-8CA6-00AA006EE5F1",
        "{6764A030-DE8C-11CE-8CA6-00AA006EE5G1}",
        "{6764A030-DE8C-11CE+8CA6-00AA006EE5F1}",
        "{6764A030-DE8C-11CE-8CA6-00AA006EE5\xC3\xA9}",
        "OPC.Simulation.1",  // a ProgID, which the system's parser would look up
    };
    for (const std::string& text : bad) {
        GUID untouched = kSample;
        EXPECT_FALSE(platform::guidFromString(text, untouched)) << text;
        EXPECT_EQ(untouched, kSample) << text;
    }
}

TEST(GuidHelpers, HashTellsCloseIdentifiersApart)
{
    // Identifiers of one vendor differ in a few bytes only, at either end.
    std::unordered_set<std::size_t> hashes;
    GUID g = kSample;
    for (int i = 0; i < 256; ++i) {
        g.Data4[7] = static_cast<unsigned char>(i);
        hashes.insert(std::hash<GUID>()(g));
    }
    g = kSample;
    for (int i = 1; i < 256; ++i) {
        g.Data1 = kSample.Data1 + static_cast<unsigned>(i);
        hashes.insert(std::hash<GUID>()(g));
    }
    EXPECT_EQ(hashes.size(), 511u);
}

} // namespace
