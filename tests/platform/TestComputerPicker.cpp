// The computer lists of the picker (the hosts database and the neighbour table of Linux) and the
// layer's sockets start-up. No test here asks the network's resolver.
#include "platform/ComputerPicker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using platform::IPv4Address;

TEST(SocketsStartup, GrantsWhatIsAskedUpToTwoTwo)
{
    WSADATA data;
    EXPECT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(data.wHighVersion, 0x0202);
    EXPECT_EQ(WSAStartup(0x0303, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    EXPECT_EQ(WSAStartup(0x0001, &data), WSAVERNOTSUPPORTED);  // 1.0
    EXPECT_EQ(WSAStartup(0x0000, nullptr), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(ComputerPicker, HostsDatabaseNamesOfUnicastEntries)
{
    const auto computers = platform::readHostsDatabase(
        "# comment line\n"
        "127.0.0.1\tlocalhost\n"
        "10.0.0.7 plant7 plant7.example   # trailing comment\n"
        "::1 localhost6 ip6-loopback\n"
        "ff02::1 ip6-allnodes\n"
        "not-an-address name\n"
        "10.0.0.8\n"
        "   \n");
    std::vector<std::string> names;
    for (const auto& c : computers) names.push_back(c.name + "@" + c.address);
    EXPECT_EQ(names, (std::vector<std::string>{"localhost@127.0.0.1", "plant7@10.0.0.7", "plant7.example@10.0.0.7",
                                               "localhost6@", "ip6-loopback@"}));
}

TEST(ComputerPicker, NeighbourTableCompleteEntriesOnly)
{
    const auto neighbours = platform::readNeighbourTable(
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "192.0.2.1        0x1         0x2         02:fc:00:00:00:05     *        eth0\n"
        "192.0.2.2        0x1         0x0         00:00:00:00:00:00     *        eth0\n"
        "192.0.2.3        0x1         0x6         02:fc:00:00:00:06     *        eth0\n"
        "bogus            0x1         0x2         02:fc:00:00:00:07     *        eth0\n"
        "192.0.2.4        0x1         zz          02:fc:00:00:00:08     *        eth0\n"
        "192.0.2.5\n");
    EXPECT_EQ(neighbours, (std::vector<IPv4Address>{{192, 0, 2, 1}, {192, 0, 2, 3}}));
    EXPECT_TRUE(platform::readNeighbourTable("").empty());
}

class KnownComputersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tagvista-picker-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        _folder = pattern;
        _sources.hostsFile = (_folder / "hosts").string();
        _sources.neighbourFile = (_folder / "arp").string();
        _sources.reverseLookup = [this](const IPv4Address& address) -> std::optional<std::string> {
            ++_lookups;
            if (address == IPv4Address{192, 0, 2, 9}) return std::string("Scada1");
            if (address == IPv4Address{192, 0, 2, 7}) return std::string("PLANT7");
            return std::nullopt;
        };
    }
    void TearDown() override { std::filesystem::remove_all(_folder); }
    void write(const std::string& name, const std::string& text) { std::ofstream(_folder / name) << text; }

    std::filesystem::path _folder;
    platform::ComputerSources _sources;
    int _lookups = 0;
};

TEST_F(KnownComputersTest, BothSourcesMergedOnceEachSortedWithoutRegardToCase)
{
    write("hosts", "127.0.0.1 localhost\n10.0.0.7 plant7\n10.0.0.9 beta\n");
    write("arp", "IP address HW type Flags HW address Mask Device\n"
                 "192.0.2.9 0x1 0x2 02:00:00:00:00:09 * eth0\n"
                 "192.0.2.7 0x1 0x2 02:00:00:00:00:07 * eth0\n"
                 "192.0.2.10 0x1 0x2 02:00:00:00:00:0a * eth0\n");
    const auto computers = platform::knownComputers(_sources);
    std::vector<std::string> names;
    for (const auto& c : computers) names.push_back(c.name);
    // PLANT7 from the network is plant7 of the hosts database, which came first; an unnamed
    // neighbour is listed by its address.
    EXPECT_EQ(names, (std::vector<std::string>{"192.0.2.10", "beta", "localhost", "plant7", "Scada1"}));
    EXPECT_EQ(computers[4].address, "192.0.2.9");
    EXPECT_EQ(computers[4].source, platform::KnownComputer::Source::Neighbour);
    EXPECT_EQ(computers[3].source, platform::KnownComputer::Source::HostsDatabase);
    EXPECT_EQ(_lookups, 3);
}

TEST_F(KnownComputersTest, MissingSourcesAddNothing)
{
    EXPECT_TRUE(platform::knownComputers(_sources).empty());
    EXPECT_EQ(_lookups, 0);
}

TEST_F(KnownComputersTest, NeighbourLookupsAreBounded)
{
    std::string arp = "IP address HW type Flags HW address Mask Device\n";
    for (int i = 1; i <= 50; ++i) arp += "198.51.100." + std::to_string(i) + " 0x1 0x2 02:00:00:00:00:01 * eth0\n";
    write("arp", arp);
    _sources.maxNeighbours = 10;
    EXPECT_EQ(platform::knownComputers(_sources).size(), 10u);
    EXPECT_EQ(_lookups, 10);
}
