// The scale server's computed address space, and its size read from the registry.
#include "HeapUsage.h"
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

// How much more is in use than at a moment before (0 when less).
std::size_t heapGrowth(std::size_t before)
{
    const std::size_t now = heapInUse();
    return now > before ? now - before : 0;
}

// The scale server's size set in the user key while it lives; the values go when it ends.
class ScaleSize {
public:
    ScaleSize(std::initializer_list<std::pair<const char*, DWORD>> values)
    {
        for (const auto& [name, value] : values) {
            setUserDword(servers::simulation::kScaleUserKey, name, value);
            _names.push_back(name);
        }
    }
    ~ScaleSize()
    {
        for (const char* name : _names) deleteUserValue(servers::simulation::kScaleUserKey, name);
    }

private:
    std::vector<const char*> _names;
};

platform::WideString vendorInfo(IOPCServer* server)
{
    OPCSERVERSTATUS* status = nullptr;
    if (FAILED(server->GetStatus(&status)) || !status) return OLESTR("<no status>");
    platform::WideString text = status->szVendorInfo ? status->szVendorInfo : OLESTR("<null>");
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return text;
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
    EXPECT_EQ(s.branchName(b7), OLESTR("Branch07"));
    EXPECT_EQ(s.leafCount(b7), 5u);
    EXPECT_EQ(s.branchCount(b7), 0u);
    const ItemRef item = s.leafAt(b7, 3);
    EXPECT_EQ(s.leafName(item), OLESTR("Item3"));
    EXPECT_EQ(s.itemId(item), OLESTR("Branch07/Item3"));
    ItemRef found = 0;
    ASSERT_TRUE(s.findItem(OLESTR("Branch07/Item3"), found));
    EXPECT_EQ(found, item);
    for (const WCHAR* bad : {OLESTR("Branch7/Item3"), OLESTR("Branch07/Item5"), OLESTR("Branch12/Item0"), OLESTR("X/Branch07/Item3"),
                                OLESTR("Branch07/Item"), OLESTR("Branch07"), OLESTR("Branch07/Item3/")}) {
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
            const platform::WideString id = s.itemId(item);
            ItemRef back = ~ItemRef(0);
            ASSERT_TRUE(s.findItem(id, back)) << u8(id);
            EXPECT_EQ(back, item);
            NodeId branch;
            ASSERT_TRUE(s.findBranchPath(id.substr(0, id.rfind(OLESTR('/'))), branch)) << u8(id);
            EXPECT_EQ(s.leafAt(branch, item % 4), item);
        }
    }
    const ScaleAddressSpace s(config(30, 4, 2));
    // Six areas of at most six branches: branch 29 is the sixth's last.
    EXPECT_EQ(s.fanOut(), 6u);
    EXPECT_EQ(s.itemId(29 * 4 + 1), OLESTR("Area4/Branch29/Item1"));
    ItemRef found;
    EXPECT_FALSE(s.findItem(OLESTR("Area3/Branch29/Item1"), found)) << "branch 29 is not under area 3";
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

TEST(ScaleSpace, TheClampSaysWhatWasAskedAndWhatIsServed)
{
    const ScaleAddressSpace most(config(0xFFFFFFFF, 100, 1));
    EXPECT_EQ(most.config().branches, 100000000u);
    EXPECT_EQ(most.config().itemsPerBranch, 1u);
    EXPECT_EQ(most.requested().branches, 0xFFFFFFFFu);
    EXPECT_TRUE(most.sizeClamped());
    EXPECT_EQ(most.clampNote(), OLESTR(" (size clamped to 100000000 items, 100000000 branches of 1, from 429496729500 items, ")
                                OLESTR("4294967295 branches of 100)"));

    const ScaleAddressSpace wide(config(4, 0xFFFFFFFF, 1));
    EXPECT_EQ(wide.clampNote(),
              OLESTR(" (size clamped to 100000000 items, 4 branches of 25000000, from 17179869180 items, 4 branches of 4294967295)"));

    // Only the size counts: a rate, a depth or a share brought into range is no clamp to report.
    for (const ScaleConfig& c : {config(100000000, 1, 1), config(1000, 100, 0, 250, 1), config(0, 0xFFFFFFFF, 2)}) {
        const ScaleAddressSpace s(c);
        EXPECT_FALSE(s.sizeClamped()) << c.branches << " x " << c.itemsPerBranch;
        EXPECT_EQ(s.clampNote(), OLESTR(""));
    }
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
    ASSERT_EQ(areas, (std::vector<platform::WideString>{OLESTR("Area0"), OLESTR("Area1")}));
    ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Area0")), S_OK);
    EXPECT_EQ(browse(b.get(), OPC_BRANCH), (std::vector<platform::WideString>{OLESTR("Branch0"), OLESTR("Branch1")}));
    ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Branch1")), S_OK);
    const auto leaves = browse(b.get(), OPC_LEAF);
    ASSERT_EQ(leaves.size(), 100u) << "items per branch from the registration";
    EXPECT_EQ(leaves[42], OLESTR("Item42"));

    ComPtr<IOPCServer> server;
    ASSERT_EQ(b.as(server), S_OK);
    ComPtr<IOPCItemMgt> group;
    ASSERT_EQ(addGroup(server.get(), OLESTR("G"), 100, group), S_OK);
    OPCITEMRESULT r{};
    EXPECT_EQ(addItem(group.get(), OLESTR("Area1/Branch2/Item09"), 1, &r), S_OK);
    EXPECT_EQ(r.vtCanonicalDataType, VT_BSTR);
    EXPECT_EQ(addItem(group.get(), OLESTR("Area0/Branch2/Item09"), 1), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(vendorInfo(server.get()), OLESTR("Tagvista Scale Server")) << "nothing clamped, nothing said";
}

TEST(ScaleServer, TheVendorTextTellsTheClamp)
{
    ComPtr<IOPCServer> server;
    {
        const ScaleSize size{{"Branches", 0xFFFFFFFF}};
        ASSERT_EQ(create(servers::simulation::CLSID_TagvistaScale, server), S_OK);
    }
    EXPECT_EQ(vendorInfo(server.get()), OLESTR("Tagvista Scale Server (size clamped to 100000000 items, 100000000 branches ")
                                        OLESTR("of 1, from 429496729500 items, 4294967295 branches of 100)"));
}

// The largest server answers its first browses with a few names' worth of memory: the names are
// computed as they are read, never listed. The heap is measured around each browse.
TEST(ScaleServer, TheLargestServerBrowsesWithoutListingItsNames)
{
    constexpr std::size_t kFewMegabytes = 4 << 20;
    {
        // The measure sees an allocation of the size a list would take, so a pass means something.
        const std::size_t before = heapInUse();
        std::vector<char> block(16 << 20, 1);
        ASSERT_GE(heapGrowth(before), block.size()) << int(static_cast<volatile char&>(block.back()));
    }
    const auto first = [](IEnumString* e) {
        LPOLESTR s = nullptr;
        ULONG fetched = 0;
        if (e->Next(1, &s, &fetched) != S_OK || fetched != 1) return platform::WideString(OLESTR("<none>"));
        platform::WideString name = s;
        CoTaskMemFree(s);
        return name;
    };

    ComPtr<IOPCBrowseServerAddressSpace> many;
    ComPtr<IOPCBrowseServerAddressSpace> wide;
    {
        const ScaleSize size{{"Branches", 0xFFFFFFFF}};
        ASSERT_EQ(create(servers::simulation::CLSID_TagvistaScale, many), S_OK);
    }
    {
        const ScaleSize size{{"Branches", 1}, {"ItemsPerBranch", 0xFFFFFFFF}};
        ASSERT_EQ(create(servers::simulation::CLSID_TagvistaScale, wide), S_OK);
    }
    ASSERT_EQ(wide->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Branch0")), S_OK);

    struct Case {
        IOPCBrowseServerAddressSpace* server;
        OPCBROWSETYPE type;
        const WCHAR* filter;
        VARTYPE vt;
        const WCHAR* firstName;
    };
    for (const Case& c : {Case{many.get(), OPC_BRANCH, OLESTR(""), VT_EMPTY, OLESTR("Branch00000000")},
                          Case{many.get(), OPC_FLAT, OLESTR(""), VT_EMPTY, OLESTR("Branch00000000/Item0")},
                          Case{many.get(), OPC_BRANCH, OLESTR("*7"), VT_EMPTY, OLESTR("Branch00000007")},
                          Case{wide.get(), OPC_LEAF, OLESTR(""), VT_EMPTY, OLESTR("Item00000000")},
                          Case{wide.get(), OPC_LEAF, OLESTR(""), VT_BSTR, OLESTR("Item00000009")}}) {
        SCOPED_TRACE(u8(c.firstName));
        const std::size_t before = heapInUse();
        ComPtr<IEnumString> e;
        ASSERT_EQ(c.server->BrowseOPCItemIDs(c.type, c.filter, c.vt, 0, e.put()), S_OK);
        EXPECT_EQ(first(e.get()), c.firstName);
        // A clone and a long skip are as cheap.
        ComPtr<IEnumString> clone;
        ASSERT_EQ(e->Clone(clone.put()), S_OK);
        EXPECT_EQ(clone->Skip(c.type == OPC_FLAT || *c.filter || c.vt != VT_EMPTY ? 1000 : 50000000), S_OK);
        EXPECT_NE(first(clone.get()), OLESTR("<none>"));
        EXPECT_LT(heapGrowth(before), kFewMegabytes);
    }
}

} // namespace
