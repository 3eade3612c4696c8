// The scale server's computed address space, and its size read from the registry.
#include "ServerTestSupport.h"

#include "servers/simulation/ScaleSpace.h"
#include "servers/simulation/SimulationClasses.h"

namespace {

using namespace servertest;
using servers::kit::ItemRef;
using servers::kit::NodeId;
using servers::simulation::ScaleAddressSpace;
using servers::simulation::ScaleConfig;

ScaleConfig config(DWORD branches, DWORD items, DWORD depth, DWORD percent = 100, DWORD rate = 100)
{
    ScaleConfig c;
    c.branches = branches;
    c.itemsPerBranch = items;
    c.depth = depth;
    c.changingPercent = percent;
    c.updateRate = rate;
    return c;
}

// Every item found by walking the tree, with its full id.
void walk(const servers::kit::AddressSpace& s, NodeId node, std::size_t depth, std::vector<ItemRef>& items,
          std::size_t& maxDepth, std::vector<std::size_t>& bottomSizes)
{
    maxDepth = std::max(maxDepth, depth);
    for (std::size_t i = 0; i < s.leafCount(node); ++i) items.push_back(s.leafAt(node, i));
    if (s.leafCount(node)) bottomSizes.push_back(s.leafCount(node));
    for (std::size_t i = 0; i < s.branchCount(node); ++i) walk(s, s.branchAt(node, i), depth + 1, items, maxDepth, bottomSizes);
}

TEST(ScaleSpace, OneLevelHasTheBranchesUnderTheRoot)
{
    const ScaleAddressSpace s(config(12, 5, 1));
    ASSERT_EQ(s.branchCount(servers::kit::kRootNode), 12u);
    EXPECT_EQ(s.leafCount(servers::kit::kRootNode), 0u);
    const NodeId b7 = s.branchAt(servers::kit::kRootNode, 7);
    EXPECT_EQ(s.branchName(b7), u"Branch07");
    EXPECT_EQ(s.leafCount(b7), 5u);
    EXPECT_EQ(s.branchCount(b7), 0u);
    const ItemRef item = s.leafAt(b7, 3);
    EXPECT_EQ(s.leafName(item), u"Item3");
    EXPECT_EQ(s.itemId(item), u"Branch07/Item3");
    ItemRef found = 0;
    ASSERT_TRUE(s.findItem(u"Branch07/Item3", found));
    EXPECT_EQ(found, item);
    for (const char16_t* bad : {u"Branch7/Item3", u"Branch07/Item5", u"Branch12/Item0", u"X/Branch07/Item3",
                                u"Branch07/Item", u"Branch07", u"Branch07/Item3/"}) {
        EXPECT_FALSE(s.findItem(bad, found)) << u8(bad);
    }
    NodeId parent = 99;
    ASSERT_TRUE(s.parentOf(b7, parent));
    EXPECT_EQ(parent, servers::kit::kRootNode);
}

TEST(ScaleSpace, DeeperTreesSpreadTheSameBranchesUnderIntermediateLevels)
{
    for (DWORD depth : {2u, 3u, 5u}) {
        const ScaleAddressSpace s(config(30, 4, depth));
        std::vector<ItemRef> items;
        std::size_t maxDepth = 0;
        std::vector<std::size_t> bottoms;
        walk(s, servers::kit::kRootNode, 0, items, maxDepth, bottoms);
        EXPECT_EQ(maxDepth, depth) << "depth " << depth;
        EXPECT_EQ(bottoms.size(), 30u);
        ASSERT_EQ(items.size(), 120u);
        for (std::size_t i = 0; i < s.branchCount(servers::kit::kRootNode); ++i) {
            EXPECT_LE(s.branchCount(s.branchAt(servers::kit::kRootNode, i)), s.fanOut() == 1 ? 1 : s.fanOut());
        }
        // Ids go there and back, and browsing to the item's branch path finds the same leaves.
        for (ItemRef item : items) {
            const std::u16string id = s.itemId(item);
            ItemRef back = ~ItemRef(0);
            ASSERT_TRUE(s.findItem(id, back)) << u8(id);
            EXPECT_EQ(back, item);
            NodeId branch;
            ASSERT_TRUE(s.findBranchPath(id.substr(0, id.rfind(u'/')), branch)) << u8(id);
            EXPECT_EQ(s.leafAt(branch, item % 4), item);
        }
    }
    const ScaleAddressSpace s(config(30, 4, 2));
    // Six areas of at most six branches: branch 29 is the sixth's last.
    EXPECT_EQ(s.fanOut(), 6u);
    EXPECT_EQ(s.itemId(29 * 4 + 1), u"Area4/Branch29/Item1");
    ItemRef found;
    EXPECT_FALSE(s.findItem(u"Area3/Branch29/Item1", found)) << "branch 29 is not under area 3";
}

TEST(ScaleSpace, TheChangingShareIsExactPerHundredItems)
{
    const ScaleAddressSpace s(config(10, 100, 1, 37, 100));
    int changing = 0;
    for (ItemRef i = 0; i < 1000; ++i) {
        if (s.changing(i)) {
            ++changing;
            EXPECT_NE(s.changeStamp(i, 0), s.changeStamp(i, 100));
        } else {
            EXPECT_EQ(s.changeStamp(i, 0), s.changeStamp(i, 100000));
        }
    }
    EXPECT_EQ(changing, 370);
    EXPECT_EQ(s.changeStamp(0, 150), s.changeStamp(0, 199)) << "one step per update period";
}

TEST(ScaleSpace, ValuesFollowTheTypeOfTheItemNumber)
{
    const ScaleAddressSpace s(config(1, 10, 1));
    const VARTYPE expected[] = {VT_R8, VT_R8, VT_R8, VT_R8, VT_R8, VT_R8, VT_I4, VT_I4, VT_BOOL, VT_BSTR};
    for (ItemRef i = 0; i < 10; ++i) {
        EXPECT_EQ(s.traits(i).canonicalType, expected[i]);
        VARIANT v;
        WORD quality = 0;
        FILETIME ts{};
        s.read(i, 1234, v, quality, ts);
        EXPECT_EQ(v.vt, expected[i]);
        EXPECT_EQ(quality, OPC_QUALITY_GOOD);
        EXPECT_EQ(platform::fileTimeToU64(ts), platform::fileTimeToU64(s.clock().fileTimeAt(1200)));
        VariantClear(&v);
    }
}

TEST(ScaleSpace, SizesAreClampedToWhatTheServerServes)
{
    ScaleConfig c = config(100000, 100000, 0, 250, 1);
    c.clamp();
    EXPECT_EQ(c.depth, 1u);
    EXPECT_EQ(c.changingPercent, 100u);
    EXPECT_EQ(c.updateRate, 10u);
    EXPECT_LE(c.itemCount(), 100000000u);
    const ScaleAddressSpace empty(config(0, 10, 3));
    EXPECT_EQ(empty.branchCount(servers::kit::kRootNode), 0u);
}

TEST(ScaleServer, SizeComesFromTheUserKeyElseFromTheRegistration)
{
    using servers::simulation::kScaleUserKey;
    // The registration's Parameters give 1000 branches of 100 items.
    servers::simulation::ScaleConfig c = servers::simulation::readScaleConfig();
    EXPECT_EQ(c.branches, 1000u);
    EXPECT_EQ(c.itemsPerBranch, 100u);

    setUserDword(kScaleUserKey, "Branches", 3);
    setUserDword(kScaleUserKey, "Depth", 2);
    ComPtr<IOPCBrowseServerAddressSpace> b;
    ASSERT_EQ(create(servers::simulation::CLSID_TagvistaScale, b), S_OK);
    deleteUserValue(kScaleUserKey, "Branches");
    deleteUserValue(kScaleUserKey, "Depth");

    const auto areas = browse(b.get(), OPC_BRANCH);
    ASSERT_EQ(areas, (std::vector<std::u16string>{u"Area0", u"Area1"}));
    ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"Area0"), S_OK);
    EXPECT_EQ(browse(b.get(), OPC_BRANCH), (std::vector<std::u16string>{u"Branch0", u"Branch1"}));
    ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"Branch1"), S_OK);
    const auto leaves = browse(b.get(), OPC_LEAF);
    ASSERT_EQ(leaves.size(), 100u) << "items per branch from the registration";
    EXPECT_EQ(leaves[42], u"Item42");

    ComPtr<IOPCServer> server;
    ASSERT_EQ(b.as(server), S_OK);
    ComPtr<IOPCItemMgt> group;
    ASSERT_EQ(addGroup(server.get(), u"G", 100, group), S_OK);
    OPCITEMRESULT r{};
    EXPECT_EQ(addItem(group.get(), u"Area1/Branch2/Item09", 1, &r), S_OK);
    EXPECT_EQ(r.vtCanonicalDataType, VT_BSTR);
    EXPECT_EQ(addItem(group.get(), u"Area0/Branch2/Item09", 1), OPC_E_UNKNOWNITEMID);
}

} // namespace
