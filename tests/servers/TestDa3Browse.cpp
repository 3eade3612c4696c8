// The DA 3.0 browser (IOPCBrowse::Browse) of the kit's server object: the same branches and items
// as the DA 2.0 browser at every level, the filters, the pieces a level comes in and their
// continuation points (freed by the server whatever it answers), and the cost of a level of a
// hundred million items.
#include "HeapUsage.h"
#include "ServerTestSupport.h"

#include "servers/kit/Server.h"
#include "servers/simulation/SimulationClasses.h"
#include "servers/test/TestServers.h"

#include <string>

namespace {

using namespace servertest;
using servers::test::Fault;
using servers::test::clsidOf;
using Names = std::vector<platform::WideString>;

struct Element {
    platform::WideString name;
    platform::WideString itemId;
    DWORD flags = 0;
    bool operator==(const Element&) const = default;
};

// One Browse call, its elements copied out and freed. The point given is handed to the server
// (which frees it); the one returned is the caller's.
struct Piece {
    HRESULT hr = E_FAIL;
    BOOL more = 2;
    std::vector<Element> elements;
    LPWSTR point = nullptr;
    bool propertiesEmpty = true;
};

Piece browseOnce(IOPCBrowse* b, const platform::WideString& id, LPWSTR point, OPCBROWSEFILTER filter = OPC_BROWSE_FILTER_ALL,
                 DWORD max = 0, const WCHAR* nameFilter = OLESTR(""))
{
    Piece p;
    platform::WideString idCopy = id;
    platform::WideString filterCopy = nameFilter;
    platform::WideString vendor = OLESTR("nothing*");
    DWORD properties[] = {1, 2, 3};
    DWORD count = 77;
    OPCBROWSEELEMENT* elements = nullptr;
    p.point = point;
    p.hr = b->Browse(idCopy.data(), &p.point, max, filter, filterCopy.data(), vendor.data(), TRUE, TRUE, 3, properties,
                     &p.more, &count, &elements);
    if (FAILED(p.hr)) {
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(elements, nullptr);
        EXPECT_EQ(p.point, nullptr);
        EXPECT_EQ(p.more, FALSE);
        return p;
    }
    for (DWORD i = 0; i < count; ++i) {
        OPCBROWSEELEMENT& e = elements[i];
        p.elements.push_back({e.szName ? e.szName : OLESTR("<null>"), e.szItemID ? e.szItemID : OLESTR("<null>"), e.dwFlagValue});
        p.propertiesEmpty = p.propertiesEmpty && e.ItemProperties.hrErrorID == S_OK &&
                            e.ItemProperties.dwNumProperties == 0 && !e.ItemProperties.pItemProperties;
        CoTaskMemFree(e.szName);
        CoTaskMemFree(e.szItemID);
    }
    CoTaskMemFree(elements);
    return p;
}

// Every element of a level, piece by piece; the number of calls in calls.
std::vector<Element> browseAll(IOPCBrowse* b, const platform::WideString& id, OPCBROWSEFILTER filter = OPC_BROWSE_FILTER_ALL,
                               DWORD max = 0, const WCHAR* nameFilter = OLESTR(""), std::size_t* calls = nullptr)
{
    std::vector<Element> all;
    LPWSTR point = nullptr;
    std::size_t n = 0;
    do {
        Piece p = browseOnce(b, id, point, filter, max, nameFilter);
        ++n;
        EXPECT_EQ(p.hr, S_OK) << u8(id);
        EXPECT_TRUE(p.propertiesEmpty);
        EXPECT_EQ(p.more != FALSE, p.point != nullptr) << "more follow exactly when there is a point";
        all.insert(all.end(), p.elements.begin(), p.elements.end());
        point = p.point;
        if (n > 1000000) break;
    } while (point);
    CoTaskMemFree(point);
    if (calls) *calls = n;
    return all;
}

LPWSTR taskText(const WCHAR* text)
{
    const platform::WideString s = text;
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(WCHAR)));
    std::copy(s.c_str(), s.c_str() + s.size() + 1, out);
    return out;
}

Names namesOf(const std::vector<Element>& elements)
{
    Names out;
    for (const Element& e : elements) out.push_back(e.name);
    return out;
}

platform::WideString da2ItemId(IOPCBrowseServerAddressSpace* b, const platform::WideString& name)
{
    platform::WideString in = name;
    LPWSTR out = nullptr;
    EXPECT_EQ(b->GetItemID(in.data(), &out), S_OK) << u8(name);
    platform::WideString id = out ? out : OLESTR("");
    CoTaskMemFree(out);
    return id;
}

// Compares both browsers at the branch of that id and below; the number of levels seen.
std::size_t compareLevels(IOPCBrowse* da3, IOPCBrowseServerAddressSpace* da2, const platform::WideString& id)
{
    SCOPED_TRACE(u8(id));
    EXPECT_EQ(da2->ChangeBrowsePosition(OPC_BROWSE_TO, id.c_str()), S_OK);
    const Names branches = browse(da2, OPC_BRANCH);
    const Names leaves = browse(da2, OPC_LEAF);
    std::vector<Element> expectedBranches;
    for (const auto& name : branches) expectedBranches.push_back({name, da2ItemId(da2, name), OPC_BROWSE_HASCHILDREN});
    std::vector<Element> expectedItems;
    for (const auto& name : leaves) expectedItems.push_back({name, da2ItemId(da2, name), OPC_BROWSE_ISITEM});
    std::vector<Element> expectedAll = expectedBranches;
    expectedAll.insert(expectedAll.end(), expectedItems.begin(), expectedItems.end());

    EXPECT_EQ(browseAll(da3, id), expectedAll);
    EXPECT_EQ(browseAll(da3, id, OPC_BROWSE_FILTER_BRANCHES), expectedBranches);
    EXPECT_EQ(browseAll(da3, id, OPC_BROWSE_FILTER_ITEMS), expectedItems);
    // An item is browsed as a level without children.
    for (const Element& item : expectedItems) {
        const Piece p = browseOnce(da3, item.itemId, nullptr);
        EXPECT_EQ(p.hr, S_OK) << u8(item.itemId);
        EXPECT_TRUE(p.elements.empty());
        EXPECT_EQ(p.more, FALSE);
    }
    std::size_t levels = 1;
    for (const Element& branch : expectedBranches) levels += compareLevels(da3, da2, branch.itemId);
    return levels;
}

TEST(Da3Browse, EveryLevelListsWhatTheDa2BrowserListsInItsOrder)
{
    for (const CLSID& clsid : {clsidOf(Fault::None), servers::simulation::CLSID_TagvistaSimulation,
                               clsidOf(Fault::DuplicateNames), clsidOf(Fault::NonBmpNames)}) {
        ComPtr<IOPCBrowse> da3;
        ASSERT_EQ(create(clsid, da3), S_OK);
        ComPtr<IOPCBrowseServerAddressSpace> da2;
        ASSERT_EQ(da3.as(da2), S_OK);
        EXPECT_GE(compareLevels(da3.get(), da2.get(), OLESTR("")), 3u);
    }
    // The well-behaved tree, spelt out once.
    ComPtr<IOPCBrowse> b;
    ASSERT_EQ(create(clsidOf(Fault::None), b), S_OK);
    EXPECT_EQ(browseAll(b.get(), OLESTR("")),
              (std::vector<Element>{{OLESTR("X"), OLESTR("X"), OPC_BROWSE_HASCHILDREN},
                                    {OLESTR("a"), OLESTR("a"), OPC_BROWSE_ISITEM},
                                    {OLESTR("b"), OLESTR("b"), OPC_BROWSE_ISITEM}}));
    EXPECT_EQ(browseAll(b.get(), OLESTR("X/Y")), (std::vector<Element>{{OLESTR("y1"), OLESTR("X/Y/y1"), OPC_BROWSE_ISITEM}}));
    // A null id is the root, as "" is.
    DWORD count = 0;
    BOOL more = TRUE;
    LPWSTR point = nullptr;
    OPCBROWSEELEMENT* elements = nullptr;
    ASSERT_EQ(b->Browse(nullptr, &point, 0, OPC_BROWSE_FILTER_BRANCHES, nullptr, nullptr, FALSE, FALSE, 0, nullptr, &more,
                        &count, &elements),
              S_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(platform::WideString(elements[0].szItemID), OLESTR("X"));
    CoTaskMemFree(elements[0].szName);
    CoTaskMemFree(elements[0].szItemID);
    CoTaskMemFree(elements);
}

TEST(Da3Browse, EmptyBranchesAreListedAsBranches)
{
    // The endless tree's branches all have children; the scale server with no items per branch
    // has branches with nothing below.
    setUserDword(servers::simulation::kScaleUserKey, "Branches", 3);
    setUserDword(servers::simulation::kScaleUserKey, "ItemsPerBranch", 0);
    ComPtr<IOPCBrowse> b;
    ASSERT_EQ(create(servers::simulation::CLSID_TagvistaScale, b), S_OK);
    deleteUserValue(servers::simulation::kScaleUserKey, "Branches");
    deleteUserValue(servers::simulation::kScaleUserKey, "ItemsPerBranch");
    EXPECT_EQ(browseAll(b.get(), OLESTR(""), OPC_BROWSE_FILTER_BRANCHES),
              (std::vector<Element>{{OLESTR("Branch0"), OLESTR("Branch0"), OPC_BROWSE_HASCHILDREN},
                                    {OLESTR("Branch1"), OLESTR("Branch1"), OPC_BROWSE_HASCHILDREN},
                                    {OLESTR("Branch2"), OLESTR("Branch2"), OPC_BROWSE_HASCHILDREN}}));
    EXPECT_TRUE(browseAll(b.get(), OLESTR("Branch1")).empty());
}

TEST(Da3Browse, NameFilterUsesTheWildcardsOnBranchesAndItems)
{
    ComPtr<IOPCBrowse> b;
    ASSERT_EQ(create(clsidOf(Fault::None), b), S_OK);
    EXPECT_EQ(namesOf(browseAll(b.get(), OLESTR("X"), OPC_BROWSE_FILTER_ALL, 0, OLESTR("x*"))), (Names{OLESTR("x1"), OLESTR("x2")}));
    EXPECT_EQ(namesOf(browseAll(b.get(), OLESTR("X"), OPC_BROWSE_FILTER_ALL, 0, OLESTR("[!x]*"))), Names{OLESTR("Y")});
    EXPECT_EQ(namesOf(browseAll(b.get(), OLESTR("X"), OPC_BROWSE_FILTER_ALL, 0, OLESTR("?2"))), Names{OLESTR("x2")});
    EXPECT_TRUE(browseAll(b.get(), OLESTR("X"), OPC_BROWSE_FILTER_BRANCHES, 0, OLESTR("x*")).empty());
    // Filtered pieces go on from where the last match was.
    std::size_t calls = 0;
    EXPECT_EQ(namesOf(browseAll(b.get(), OLESTR(""), OPC_BROWSE_FILTER_ALL, 1, OLESTR("[Xb]"), &calls)),
              (Names{OLESTR("X"), OLESTR("b")}));
    EXPECT_EQ(calls, 2u) << "no empty last piece: the server looked ahead";

    const Piece bad = browseOnce(b.get(), OLESTR(""), nullptr, OPC_BROWSE_FILTER_ALL, 0, OLESTR("[x"));
    EXPECT_EQ(bad.hr, OPC_E_INVALIDFILTER);
}

TEST(Da3Browse, ItemIdsUnknownIdsAndBadArguments)
{
    ComPtr<IOPCBrowse> b;
    ASSERT_EQ(create(clsidOf(Fault::None), b), S_OK);
    const Piece item = browseOnce(b.get(), OLESTR("X/x1"), nullptr);
    EXPECT_EQ(item.hr, S_OK);
    EXPECT_TRUE(item.elements.empty());
    EXPECT_EQ(item.more, FALSE);
    EXPECT_EQ(item.point, nullptr);
    for (const WCHAR* unknown : {OLESTR("nope"), OLESTR("X/"), OLESTR("/X"), OLESTR("x1"), OLESTR("X/Y/y1/z")}) {
        EXPECT_EQ(browseOnce(b.get(), unknown, nullptr).hr, OPC_E_UNKNOWNITEMID) << u8(unknown);
    }
    EXPECT_EQ(browseOnce(b.get(), OLESTR(""), nullptr, static_cast<OPCBROWSEFILTER>(0)).hr, E_INVALIDARG);
    EXPECT_EQ(browseOnce(b.get(), OLESTR(""), nullptr, static_cast<OPCBROWSEFILTER>(4)).hr, E_INVALIDARG);

    BOOL more = TRUE;
    DWORD count = 5;
    OPCBROWSEELEMENT* elements = nullptr;
    LPWSTR point = taskText(OLESTR("freed though the call fails"));
    EXPECT_EQ(b->Browse(nullptr, &point, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, FALSE, FALSE, 0, nullptr, &more, nullptr,
                        &elements),
              E_INVALIDARG);
    EXPECT_EQ(point, nullptr);
    EXPECT_EQ(more, FALSE);
    EXPECT_EQ(b->Browse(nullptr, nullptr, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, FALSE, FALSE, 0, nullptr, &more, &count,
                        &elements),
              E_INVALIDARG);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(b->Browse(nullptr, &point, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, FALSE, FALSE, 0, nullptr, &more, &count,
                        nullptr),
              E_INVALIDARG);

    LPWSTR ids[] = {const_cast<LPWSTR>(OLESTR("a"))};
    auto* properties = reinterpret_cast<OPCITEMPROPERTIES*>(1);
    EXPECT_EQ(b->GetProperties(1, ids, TRUE, 0, nullptr, &properties), E_NOTIMPL);
    EXPECT_EQ(properties, nullptr);
}

TEST(Da3Browse, ALevelComesInPiecesThatFollowTheContinuationPoint)
{
    ComPtr<IOPCBrowse> b;
    ASSERT_EQ(create(servers::simulation::CLSID_TagvistaSimulation, b), S_OK);
    const platform::WideString level = OLESTR("Simulation/Static");
    const std::vector<Element> whole = browseAll(b.get(), level);
    ASSERT_GT(whole.size(), 10u);
    for (DWORD max : {1u, 3u, 7u}) {
        std::size_t calls = 0;
        EXPECT_EQ(browseAll(b.get(), level, OPC_BROWSE_FILTER_ALL, max, OLESTR(""), &calls), whole) << max;
        EXPECT_EQ(calls, (whole.size() + max - 1) / max) << max;
    }
    // Each point goes back to the server, which frees it; an empty one starts from the top.
    Piece first = browseOnce(b.get(), level, taskText(OLESTR("")), OPC_BROWSE_FILTER_ALL, 2);
    ASSERT_EQ(first.hr, S_OK);
    ASSERT_EQ(first.elements.size(), 2u);
    EXPECT_EQ(first.elements[0], whole[0]);
    ASSERT_NE(first.point, nullptr);
    EXPECT_EQ(first.more, TRUE);
    EXPECT_NE(platform::WideString(first.point), OLESTR(""));
    Piece second = browseOnce(b.get(), level, first.point, OPC_BROWSE_FILTER_ALL, 2);
    ASSERT_EQ(second.elements.size(), 2u);
    EXPECT_EQ(second.elements[0], whole[2]);
    // The last point back with no limit: the rest at once, and no point.
    Piece rest = browseOnce(b.get(), level, second.point, OPC_BROWSE_FILTER_ALL, 0);
    EXPECT_EQ(rest.elements.size(), whole.size() - 4);
    EXPECT_EQ(rest.more, FALSE);
    EXPECT_EQ(rest.point, nullptr);
}

TEST(Da3Browse, APointNotOfThisBrowseIsRefusedAndFreed)
{
    ComPtr<IOPCBrowse> b;
    ComPtr<IOPCBrowse> other;
    ASSERT_EQ(create(servers::simulation::CLSID_TagvistaSimulation, b), S_OK);
    ASSERT_EQ(create(servers::simulation::CLSID_TagvistaSimulation, other), S_OK);
    const platform::WideString level = OLESTR("Simulation/Static");
    const auto pointOf = [&](IOPCBrowse* server, const platform::WideString& id, OPCBROWSEFILTER filter = OPC_BROWSE_FILTER_ALL,
                             const WCHAR* names = OLESTR("")) {
        Piece p = browseOnce(server, id, nullptr, filter, 1, names);
        EXPECT_NE(p.point, nullptr);
        platform::WideString text = p.point ? p.point : OLESTR("");
        CoTaskMemFree(p.point);
        return text;
    };
    const platform::WideString good = pointOf(b.get(), level);
    const Piece again = browseOnce(b.get(), level, taskText(good.c_str()), OPC_BROWSE_FILTER_ALL, 1);
    CoTaskMemFree(again.point);
    ASSERT_EQ(again.hr, S_OK) << "used twice: still ours";

    platform::WideString tampered = good;
    tampered[1] = tampered[1] == OLESTR('9') ? OLESTR('8') : OLESTR('9');
    const platform::WideString foreign = pointOf(other.get(), level);
    const platform::WideString otherLevel = pointOf(b.get(), OLESTR("Simulation"));
    const platform::WideString otherFilter = pointOf(b.get(), level, OPC_BROWSE_FILTER_ITEMS);
    const platform::WideString otherNames = pointOf(b.get(), level, OPC_BROWSE_FILTER_ALL, OLESTR("*"));
    for (const platform::WideString& bad :
         {platform::WideString(OLESTR("garbage")), tampered, good + OLESTR("0"), good.substr(0, good.size() - 1), foreign,
          otherLevel, otherFilter, otherNames, platform::WideString(OLESTR("i99999999999999999999999.0000000000000000"))}) {
        const Piece p = browseOnce(b.get(), level, taskText(bad.c_str()));
        EXPECT_EQ(p.hr, OPC_E_INVALIDCONTINUATIONPOINT) << u8(bad);
    }
    // An item has no pieces to go on with.
    EXPECT_EQ(browseOnce(b.get(), level + OLESTR("/") + browseAll(b.get(), level, OPC_BROWSE_FILTER_ITEMS)[0].name,
                         taskText(good.c_str()))
                  .hr,
              OPC_E_INVALIDCONTINUATIONPOINT);
}

// The scale server with a hundred million items in one branch: a level far bigger than any piece.
TEST(Da3Browse, PiecesOfAHugeLevelAreCappedAndCostOnlyTheirElements)
{
    ComPtr<IOPCBrowse> b;
    {
        setUserDword(servers::simulation::kScaleUserKey, "Branches", 1);
        setUserDword(servers::simulation::kScaleUserKey, "ItemsPerBranch", 0xFFFFFFFF);
        EXPECT_EQ(create(servers::simulation::CLSID_TagvistaScale, b), S_OK);
        deleteUserValue(servers::simulation::kScaleUserKey, "Branches");
        deleteUserValue(servers::simulation::kScaleUserKey, "ItemsPerBranch");
        ASSERT_TRUE(b);
    }
    constexpr std::size_t kFewMegabytes = 4 << 20;
    const platform::WideString level = OLESTR("Branch0");
    for (DWORD max : std::initializer_list<DWORD>{0, 5000, servers::kit::Server::kMaxBrowseElements + 1}) {
        const Piece p = browseOnce(b.get(), level, nullptr, OPC_BROWSE_FILTER_ITEMS, max);
        EXPECT_EQ(p.elements.size(), servers::kit::Server::kMaxBrowseElements) << max;
        EXPECT_EQ(p.more, TRUE);
        CoTaskMemFree(p.point);
    }
    const std::size_t before = heapInUse();
    Piece p = browseOnce(b.get(), level, nullptr, OPC_BROWSE_FILTER_ALL, 10);
    ASSERT_EQ(p.elements.size(), 10u);
    EXPECT_EQ(p.elements[9].itemId, OLESTR("Branch0/Item00000009"));
    for (int i = 0; i < 200; ++i) {
        p = browseOnce(b.get(), level, p.point, OPC_BROWSE_FILTER_ALL, servers::kit::Server::kMaxBrowseElements);
        ASSERT_EQ(p.hr, S_OK);
    }
    EXPECT_EQ(p.elements.back().name, OLESTR("Item00200009")) << "each piece starts where the last ended";
    EXPECT_EQ(p.more, TRUE);
    CoTaskMemFree(p.point);
    const std::size_t now = heapInUse();
    // A server that kept what it had found for each point it gave would hold 200 of them now.
    EXPECT_LT(now > before ? now - before : 0, kFewMegabytes) << "nothing is kept per piece";
}

} // namespace
