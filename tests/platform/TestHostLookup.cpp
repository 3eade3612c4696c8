// The host-name lookup. No test here asks the network's resolver: names are numeric, from the
// hosts database, or refused before any query.
#include "platform/HostLookup.h"

#include <gtest/gtest.h>

using platform::IPv4Address;

namespace {

// The sockets start-up every program of the platform makes before its first lookup.
class HostLookup : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

TEST_F(HostLookup, NumericAddressesGiveTheirBytesInNetworkOrder)
{
    EXPECT_EQ(platform::lookupIPv4("10.0.0.5"), (IPv4Address{10, 0, 0, 5}));
    EXPECT_EQ(platform::lookupIPv4("127.0.0.1"), (IPv4Address{127, 0, 0, 1}));
    EXPECT_EQ(platform::lookupIPv4("192.0.2.255"), (IPv4Address{192, 0, 2, 255}));
}

TEST_F(HostLookup, NamesOfTheHostsDatabase)
{
    EXPECT_EQ(platform::lookupIPv4("localhost"), (IPv4Address{127, 0, 0, 1}));
}

TEST_F(HostLookup, NamesNoResolverCouldAnswerAreRefusedBeforeAnyQuery)
{
    for (const char* name : {"no such host", "a..b", ".leading", "tab\there", "back\\slash", "percent%", "plant7/x",
                             "(local)"}) {
        EXPECT_FALSE(platform::isResolvableName(name)) << name;
        EXPECT_EQ(platform::lookupIPv4(name), std::nullopt) << name;
    }
    EXPECT_FALSE(platform::isResolvableName(std::string(254, 'a')));
    EXPECT_FALSE(platform::isResolvableName(std::string(64, 'a') + ".example"));
    EXPECT_FALSE(platform::isResolvableName(""));
}

TEST_F(HostLookup, WellFormedNamesAreResolvable)
{
    for (const char* name : {"plant7", "plant-7.example.org", "PLANT7", "scada_1", "host.", "10.0.0.5"})
        EXPECT_TRUE(platform::isResolvableName(name)) << name;
    EXPECT_TRUE(platform::isResolvableName(std::string(63, 'a') + ".example"));
}

TEST_F(HostLookup, DottedText)
{
    EXPECT_EQ(platform::dottedText({10, 0, 0, 5}), "10.0.0.5");
    EXPECT_EQ(platform::dottedText({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(platform::dottedText({255, 255, 255, 255}), "255.255.255.255");
}

} // namespace
