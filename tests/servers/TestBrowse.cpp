// Browsing the servers' address spaces as the client does, and the filters.
#include "ServerTestSupport.h"

#include "servers/simulation/SimulationClasses.h"
#include "servers/test/TestServers.h"

#include <algorithm>

namespace {

using namespace servertest;
using servers::test::Fault;
using servers::test::clsidOf;
using Names = std::vector<platform::WideString>;

Names sorted(Names n)
{
    std::sort(n.begin(), n.end());
    return n;
}

class Browse : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(create(clsidOf(Fault::None), _server), S_OK);
        ASSERT_EQ(_server.as(_browse), S_OK);
    }
    HRESULT to(const WCHAR* path) { return _browse->ChangeBrowsePosition(OPC_BROWSE_TO, path); }
    platform::WideString itemId(const WCHAR* name, HRESULT* hr = nullptr)
    {
        platform::WideString in = name;
        LPWSTR out = nullptr;
        const HRESULT result = _browse->GetItemID(in.data(), &out);
        if (hr) *hr = result;
        platform::WideString id = out ? out : OLESTR("");
        CoTaskMemFree(out);
        return id;
    }

    ComPtr<IOPCServer> _server;
    ComPtr<IOPCBrowseServerAddressSpace> _browse;
};

TEST_F(Browse, OrganizationIsHierarchical)
{
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    EXPECT_EQ(_browse->QueryOrganization(&type), S_OK);
    EXPECT_EQ(type, OPC_NS_HIERARCHIAL);
}

TEST_F(Browse, DownUpAndToWalkTheTree)
{
    EXPECT_EQ(browse(_browse.get(), OPC_BRANCH), Names{OLESTR("X")});
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF), (Names{OLESTR("a"), OLESTR("b")}));
    EXPECT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")), E_FAIL) << "the root has no parent";

    ASSERT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("X")), S_OK);
    EXPECT_EQ(browse(_browse.get(), OPC_BRANCH), Names{OLESTR("Y")});
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF), (Names{OLESTR("x1"), OLESTR("x2")}));
    ASSERT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Y")), S_OK);
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF), Names{OLESTR("y1")});
    EXPECT_TRUE(browse(_browse.get(), OPC_BRANCH).empty());

    ASSERT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")), S_OK);
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF), (Names{OLESTR("x1"), OLESTR("x2")}));
    ASSERT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")), S_OK);
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF), (Names{OLESTR("a"), OLESTR("b")}));
    EXPECT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")), E_FAIL);

    ASSERT_EQ(to(OLESTR("X/Y")), S_OK);
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF), Names{OLESTR("y1")});
    ASSERT_EQ(to(OLESTR("")), S_OK);
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF), (Names{OLESTR("a"), OLESTR("b")}));
    ASSERT_EQ(to(OLESTR("X/Y")), S_OK);
    ASSERT_EQ(to(nullptr), S_OK);
    EXPECT_EQ(browse(_browse.get(), OPC_BRANCH), Names{OLESTR("X")});
}

TEST_F(Browse, UnknownBranchesLeaveThePositionWhereItWas)
{
    ASSERT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("X")), S_OK);
    EXPECT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("x1")), E_INVALIDARG) << "a leaf is no branch";
    EXPECT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Nope")), E_INVALIDARG);
    EXPECT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("")), E_INVALIDARG);
    EXPECT_EQ(to(OLESTR("X/Nope")), E_INVALIDARG);
    EXPECT_EQ(to(OLESTR("X/")), E_INVALIDARG);
    EXPECT_EQ(_browse->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(9), OLESTR("Y")), E_INVALIDARG);
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF), (Names{OLESTR("x1"), OLESTR("x2")}));
}

TEST_F(Browse, EachServerObjectKeepsItsOwnPosition)
{
    ComPtr<IOPCBrowseServerAddressSpace> other;
    ASSERT_EQ(create(clsidOf(Fault::None), other), S_OK);
    ASSERT_EQ(to(OLESTR("X/Y")), S_OK);
    EXPECT_EQ(browse(other.get(), OPC_LEAF), (Names{OLESTR("a"), OLESTR("b")}));
    // The browse interface is the server object's own, so a second query sees the same position.
    ComPtr<IOPCBrowseServerAddressSpace> again;
    ASSERT_EQ(_server.as(again), S_OK);
    EXPECT_EQ(browse(again.get(), OPC_LEAF), Names{OLESTR("y1")});
}

TEST_F(Browse, GetItemIdGivesFullIdsOfNamesHereAndOfFullIds)
{
    ASSERT_EQ(to(OLESTR("X")), S_OK);
    HRESULT hr;
    EXPECT_EQ(itemId(OLESTR("x1"), &hr), OLESTR("X/x1"));
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(itemId(OLESTR("Y")), OLESTR("X/Y"));
    EXPECT_EQ(itemId(OLESTR("X/Y/y1")), OLESTR("X/Y/y1"));
    EXPECT_EQ(itemId(OLESTR("a")), OLESTR("a")) << "a full id found from anywhere";
    EXPECT_EQ(itemId(OLESTR("")), OLESTR("X")) << "the current position";
    itemId(OLESTR("nope"), &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    itemId(OLESTR("y1"), &hr);
    EXPECT_EQ(hr, E_INVALIDARG) << "y1 is not at this position";
    LPWSTR out = nullptr;
    EXPECT_EQ(_browse->GetItemID(nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Browse, NameFiltersUseTheWildcards)
{
    ASSERT_EQ(to(OLESTR("X")), S_OK);
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF, OLESTR("x*")), (Names{OLESTR("x1"), OLESTR("x2")}));
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF, OLESTR("?2")), Names{OLESTR("x2")});
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF, OLESTR("x#")), (Names{OLESTR("x1"), OLESTR("x2")}));
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF, OLESTR("x[!1]")), Names{OLESTR("x2")});
    EXPECT_EQ(browse(_browse.get(), OPC_BRANCH, OLESTR("[XY]")), Names{OLESTR("Y")});
    HRESULT hr;
    EXPECT_TRUE(browse(_browse.get(), OPC_LEAF, OLESTR("[x"), VT_EMPTY, 0, &hr).empty());
    EXPECT_EQ(hr, OPC_E_INVALIDFILTER);
}

TEST_F(Browse, TypeAndRightsFiltersApplyToItems)
{
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF, OLESTR(""), VT_BSTR), Names{OLESTR("b")});
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF, OLESTR(""), VT_I4), Names{OLESTR("a")});
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF, OLESTR(""), VT_EMPTY, OPC_WRITEABLE), Names{OLESTR("a")});
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF, OLESTR(""), VT_EMPTY, OPC_READABLE), (Names{OLESTR("a"), OLESTR("b")}));
    EXPECT_EQ(browse(_browse.get(), OPC_LEAF, OLESTR(""), VT_EMPTY, OPC_READABLE | OPC_WRITEABLE), Names{OLESTR("a")});
    // Branches have neither type nor rights.
    EXPECT_EQ(browse(_browse.get(), OPC_BRANCH, OLESTR(""), VT_BSTR, OPC_WRITEABLE), Names{OLESTR("X")});
}

TEST_F(Browse, FlatListsFullIdsBelowThePosition)
{
    EXPECT_EQ(sorted(browse(_browse.get(), OPC_FLAT)), (Names{OLESTR("X/Y/y1"), OLESTR("X/x1"), OLESTR("X/x2"), OLESTR("a"), OLESTR("b")}));
    EXPECT_EQ(sorted(browse(_browse.get(), OPC_FLAT, OLESTR("*1"))), (Names{OLESTR("X/Y/y1"), OLESTR("X/x1")}));
    EXPECT_EQ(sorted(browse(_browse.get(), OPC_FLAT, OLESTR(""), VT_BSTR)), (Names{OLESTR("X/x2"), OLESTR("b")}));
    ASSERT_EQ(to(OLESTR("X")), S_OK);
    EXPECT_EQ(sorted(browse(_browse.get(), OPC_FLAT)), (Names{OLESTR("X/Y/y1"), OLESTR("X/x1"), OLESTR("X/x2")}));
}

TEST_F(Browse, NothingMatchingGivesSFalseAndAnEmptyEnumerator)
{
    ComPtr<IEnumString> e;
    EXPECT_EQ(_browse->BrowseOPCItemIDs(OPC_LEAF, OLESTR("zzz"), VT_EMPTY, 0, e.put()), S_FALSE);
    ASSERT_TRUE(e);
    LPOLESTR s = nullptr;
    ULONG fetched = 7;
    EXPECT_EQ(e->Next(1, &s, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(_browse->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(4), OLESTR(""), VT_EMPTY, 0, e.put()), E_INVALIDARG);
    EXPECT_EQ(_browse->BrowseOPCItemIDs(OPC_LEAF, OLESTR(""), VT_EMPTY, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(_browse->BrowseAccessPaths(OLESTR("a"), e.put()), E_NOTIMPL);
}

TEST_F(Browse, EnumeratorWalksWithNextSkipResetAndClone)
{
    ComPtr<IEnumString> e;
    ASSERT_EQ(_browse->BrowseOPCItemIDs(OPC_FLAT, OLESTR(""), VT_EMPTY, 0, e.put()), S_OK);
    LPOLESTR s[8] = {};
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(2, s, &fetched), S_OK);
    ASSERT_EQ(fetched, 2u);
    const platform::WideString first = s[0];
    const platform::WideString second = s[1];
    CoTaskMemFree(s[0]);
    CoTaskMemFree(s[1]);
    EXPECT_EQ(e->Next(2, s, nullptr), E_INVALIDARG) << "more than one needs the count";

    ComPtr<IEnumString> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    EXPECT_EQ(e->Skip(1), S_OK);
    EXPECT_EQ(e->Next(8, s, &fetched), S_FALSE) << "5 items: 2 read, 1 skipped, 2 left";
    EXPECT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(s[i]);
    EXPECT_EQ(e->Skip(1), S_FALSE);

    // The clone went on from where the original was, and on its own.
    EXPECT_EQ(drain(clone.get()).size(), 3u);
    EXPECT_EQ(e->Reset(), S_OK);
    const Names all = drain(e.get());
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0], first);
    EXPECT_EQ(all[1], second);
}

TEST(SimulationBrowse, ThePlantAndTheWorkshopAreThere)
{
    ComPtr<IOPCBrowseServerAddressSpace> b;
    ASSERT_EQ(create(servers::simulation::CLSID_TagvistaSimulation, b), S_OK);
    const Names root = browse(b.get(), OPC_BRANCH);
    EXPECT_NE(std::find(root.begin(), root.end(), OLESTR("Plant")), root.end());
    EXPECT_NE(std::find(root.begin(), root.end(), OLESTR("Simulation")), root.end());
    EXPECT_NE(std::find(root.begin(), root.end(), OLESTR("Цех1")), root.end());

    ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_TO, OLESTR("Plant/Line1/Motors")), S_OK);
    EXPECT_EQ(browse(b.get(), OPC_BRANCH), (Names{OLESTR("M101"), OLESTR("M102")}));
    ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("M101")), S_OK);
    const Names motor = browse(b.get(), OPC_LEAF);
    for (const WCHAR* name : {OLESTR("Speed"), OLESTR("Current"), OLESTR("Running"), OLESTR("Fault")})
        EXPECT_NE(std::find(motor.begin(), motor.end(), name), motor.end()) << u8(name);

    ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_TO, OLESTR("Цех1")), S_OK);
    const Names shop = browse(b.get(), OPC_LEAF, OLESTR("Т*"));
    EXPECT_EQ(shop, Names{OLESTR("Температура")});
}

TEST(SimulationBrowse, TheStaticBranchHasEveryTypeTheClientShows)
{
    ComPtr<IOPCBrowseServerAddressSpace> b;
    ASSERT_EQ(create(servers::simulation::CLSID_TagvistaSimulation, b), S_OK);
    ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_TO, OLESTR("Simulation/Static")), S_OK);
    for (VARTYPE vt : std::initializer_list<VARTYPE>{VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8, VT_UI8, VT_R4, VT_R8, VT_BOOL, VT_BSTR,
                       VT_DATE, VT_CY, VARTYPE(VT_ARRAY | VT_I2), VARTYPE(VT_ARRAY | VT_R8), VARTYPE(VT_ARRAY | VT_BSTR)}) {
        EXPECT_FALSE(browse(b.get(), OPC_LEAF, OLESTR(""), vt).empty()) << "type " << vt;
    }
}

} // namespace
