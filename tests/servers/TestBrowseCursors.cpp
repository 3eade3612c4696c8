// The enumerators a browse hands out compute their names as they are read: they give exactly
// what a walk that lists everything first gives (the reference below), in the same order, and
// keep Next, Skip, Reset and Clone to their contracts at every position.
#include "ServerTestSupport.h"

#include "servers/kit/BrowseCursors.h"
#include "servers/kit/Server.h"
#include "servers/simulation/ScaleSpace.h"
#include "servers/simulation/SimulationClasses.h"
#include "servers/simulation/SimulationSpace.h"
#include "servers/test/TestServers.h"

#include <algorithm>
#include <functional>

namespace {

using namespace servertest;
using servers::kit::AddressSpace;
using servers::kit::BrowseQuery;
using servers::kit::ItemRef;
using servers::kit::NameCursor;
using servers::kit::NodeId;
using servers::kit::StringEnumerator;
using Names = std::vector<platform::WideString>;

struct Filters {
    const WCHAR* pattern;
    VARTYPE type;
    DWORD rights;
};

// --- the reference: every name listed before the first is given --------------------------------

bool itemPasses(const AddressSpace& s, ItemRef item, const Filters& f)
{
    const auto traits = s.traits(item);
    if (f.type != VT_EMPTY && traits.canonicalType != f.type) return false;
    return (traits.accessRights & f.rights) == f.rights;
}

Names listBranches(const AddressSpace& s, NodeId node, const Filters& f)
{
    Names out;
    for (std::size_t i = 0; i < s.branchCount(node); ++i) {
        platform::WideString name = s.branchName(s.branchAt(node, i));
        if (servers::kit::matchWildcard(f.pattern, name)) out.push_back(std::move(name));
    }
    return out;
}

Names listLeaves(const AddressSpace& s, NodeId node, const Filters& f)
{
    Names out;
    for (std::size_t i = 0; i < s.leafCount(node); ++i) {
        const ItemRef item = s.leafAt(node, i);
        if (!itemPasses(s, item, f)) continue;
        platform::WideString name = s.leafName(item);
        if (servers::kit::matchWildcard(f.pattern, name)) out.push_back(std::move(name));
    }
    return out;
}

void listFlat(const AddressSpace& s, NodeId node, std::size_t depth, std::size_t maxLevels, const Filters& f, Names& out)
{
    for (std::size_t i = 0; i < s.leafCount(node); ++i) {
        const ItemRef item = s.leafAt(node, i);
        if (!itemPasses(s, item, f)) continue;
        platform::WideString id = s.itemId(item);
        if (servers::kit::matchWildcard(f.pattern, id)) out.push_back(std::move(id));
    }
    if (depth + 1 >= maxLevels) return;
    for (std::size_t i = 0; i < s.branchCount(node); ++i) listFlat(s, s.branchAt(node, i), depth + 1, maxLevels, f, out);
}

void allBranches(const AddressSpace& s, NodeId node, std::vector<NodeId>& out)
{
    out.push_back(node);
    for (std::size_t i = 0; i < s.branchCount(node); ++i) allBranches(s, s.branchAt(node, i), out);
}

// --- the cursors ------------------------------------------------------------------------------

enum class Kind { Branch, Leaf, Flat };

std::shared_ptr<const BrowseQuery> queryOf(std::shared_ptr<const AddressSpace> space, NodeId node, const Filters& f)
{
    auto q = std::make_shared<BrowseQuery>();
    q->space = std::move(space);
    q->node = node;
    EXPECT_TRUE(q->filter.compile(f.pattern));
    q->type = f.type;
    q->rights = f.rights;
    return q;
}

std::unique_ptr<NameCursor> cursorOf(Kind kind, std::shared_ptr<const BrowseQuery> q,
                                     std::size_t maxLevels = servers::kit::Server::kMaxFlatDepth)
{
    switch (kind) {
    case Kind::Branch: return servers::kit::branchCursor(std::move(q));
    case Kind::Leaf: return servers::kit::leafCursor(std::move(q));
    case Kind::Flat: return servers::kit::flatCursor(std::move(q), maxLevels);
    }
    return nullptr;
}

Names listed(Kind kind, const AddressSpace& s, NodeId node, const Filters& f,
             std::size_t maxLevels = servers::kit::Server::kMaxFlatDepth)
{
    switch (kind) {
    case Kind::Branch: return listBranches(s, node, f);
    case Kind::Leaf: return listLeaves(s, node, f);
    case Kind::Flat: {
        Names out;
        listFlat(s, node, 0, maxLevels, f, out);
        return out;
    }
    }
    return {};
}

ComPtr<IEnumString> enumeratorOf(std::unique_ptr<NameCursor> cursor)
{
    ComPtr<IEnumString> e;
    e.attach(StringEnumerator::create(std::move(cursor)));
    return e;
}

const char* kindName(Kind k) { return k == Kind::Branch ? "branch" : k == Kind::Leaf ? "leaf" : "flat"; }

constexpr Kind kKinds[] = {Kind::Branch, Kind::Leaf, Kind::Flat};

// Every branch of the space, every kind, every filter: the enumerator gives the reference's names.
void expectSameNames(const std::shared_ptr<const AddressSpace>& space, std::initializer_list<Filters> filters)
{
    std::vector<NodeId> nodes;
    allBranches(*space, servers::kit::kRootNode, nodes);
    std::size_t nonEmpty = 0;
    for (NodeId node : nodes) {
        for (const Filters& f : filters) {
            for (Kind kind : kKinds) {
                const Names expected = listed(kind, *space, node, f);
                nonEmpty += !expected.empty();
                EXPECT_EQ(drain(enumeratorOf(cursorOf(kind, queryOf(space, node, f))).get()), expected)
                    << kindName(kind) << " at " << u8(space->branchPath(node)) << " filter " << u8(f.pattern)
                    << " type " << f.type << " rights " << f.rights;
            }
        }
    }
    EXPECT_GT(nonEmpty, nodes.size()) << "the filters let names through";
}

// Next, Skip, Clone and Reset from every position of interest against the expected list.
void expectWalk(const std::function<std::unique_ptr<NameCursor>()>& make, const Names& expected, const std::string& what)
{
    SCOPED_TRACE(what);
    const std::size_t n = expected.size();
    for (std::size_t at : {std::size_t(0), std::size_t(1), n / 2, n > 0 ? n - 1 : 0, n}) {
        if (at > n) continue;
        SCOPED_TRACE("position " + std::to_string(at));
        const ComPtr<IEnumString> e = enumeratorOf(make());
        for (std::size_t i = 0; i < at; ++i) {
            LPOLESTR s = nullptr;
            ULONG fetched = 0;
            ASSERT_EQ(e->Next(1, &s, &fetched), S_OK);
            ASSERT_EQ(fetched, 1u);
            EXPECT_EQ(platform::WideString(s), expected[i]);
            CoTaskMemFree(s);
        }
        ComPtr<IEnumString> clone;
        ASSERT_EQ(e->Clone(clone.put()), S_OK);
        EXPECT_EQ(drain(clone.get()), Names(expected.begin() + at, expected.end())) << "the clone goes on from here";

        // The original did not move with its clone.
        const std::size_t afterSkip = std::min(at + 2, n);
        EXPECT_EQ(e->Skip(2), at + 2 <= n ? S_OK : S_FALSE);
        LPOLESTR s[3] = {};
        ULONG fetched = 99;
        const std::size_t want = std::min<std::size_t>(3, n - afterSkip);
        EXPECT_EQ(e->Next(3, s, &fetched), want == 3 ? S_OK : S_FALSE);
        ASSERT_EQ(fetched, want);
        for (ULONG i = 0; i < fetched; ++i) {
            EXPECT_EQ(platform::WideString(s[i]), expected[afterSkip + i]);
            CoTaskMemFree(s[i]);
        }

        EXPECT_EQ(e->Skip(static_cast<ULONG>(n + 1)), S_FALSE) << "past the end";
        fetched = 99;
        EXPECT_EQ(e->Next(3, s, &fetched), S_FALSE);
        EXPECT_EQ(fetched, 0u);
        EXPECT_EQ(e->Reset(), S_OK);
        EXPECT_EQ(drain(e.get()), expected);
    }
}

std::shared_ptr<const AddressSpace> scale(DWORD branches, DWORD items, DWORD depth)
{
    servers::simulation::ScaleConfig c;
    c.branches = branches;
    c.itemsPerBranch = items;
    c.depth = depth;
    return std::make_shared<servers::simulation::ScaleAddressSpace>(c);
}

// --- tests ------------------------------------------------------------------------------------

TEST(LazyBrowse, TheSimulationSpaceGivesTheListedNamesEverywhere)
{
    const std::shared_ptr<const AddressSpace> space = servers::simulation::buildSimulationSpace();
    expectSameNames(space, {{OLESTR(""), VT_EMPTY, 0},
                            {OLESTR("*e*"), VT_EMPTY, 0},
                            {OLESTR("[A-M]*"), VT_EMPTY, 0},
                            {OLESTR(""), VT_R8, 0},
                            {OLESTR(""), VT_EMPTY, OPC_WRITEABLE},
                            {OLESTR("*[0-9]*"), VT_I4, OPC_READABLE},
                            {OLESTR("Т*"), VT_EMPTY, 0},
                            {OLESTR("nothing*"), VT_EMPTY, 0}});
}

TEST(LazyBrowse, ScaleSpacesGiveTheListedNamesEverywhere)
{
    for (DWORD depth : {1u, 2u, 3u}) {
        SCOPED_TRACE("depth " + std::to_string(depth));
        expectSameNames(scale(30, 12, depth), {{OLESTR(""), VT_EMPTY, 0},
                                               {OLESTR("*1"), VT_EMPTY, 0},
                                               {OLESTR("*Branch0[0-1]*"), VT_EMPTY, 0},
                                               {OLESTR(""), VT_BSTR, 0},
                                               {OLESTR(""), VT_I4, OPC_READABLE},
                                               {OLESTR(""), VT_EMPTY, OPC_WRITEABLE},
                                               {OLESTR("Item1#"), VT_R8, 0}});
    }
}

TEST(LazyBrowse, TheFlatWalkStopsAtItsLevelBound)
{
    const auto space = scale(27, 2, 3);
    const Filters all{OLESTR(""), VT_EMPTY, 0};
    // Items hang three levels below the root only: the root and the levels down to the items
    // make four, so a bound of three gives nothing and four every item.
    EXPECT_TRUE(drain(enumeratorOf(cursorOf(Kind::Flat, queryOf(space, servers::kit::kRootNode, all), 3)).get()).empty());
    EXPECT_EQ(drain(enumeratorOf(cursorOf(Kind::Flat, queryOf(space, servers::kit::kRootNode, all), 4)).get()).size(), 54u);
    NodeId site;
    ASSERT_TRUE(space->findBranchPath(OLESTR("Site1"), site));
    for (std::size_t levels : {1u, 2u, 3u}) {
        const Names expected = listed(Kind::Flat, *space, site, all, levels);
        EXPECT_EQ(expected.size(), levels == 3 ? 18u : 0u);
        EXPECT_EQ(drain(enumeratorOf(cursorOf(Kind::Flat, queryOf(space, site, all), levels)).get()), expected)
            << levels << " levels";
    }

    // A tree without end: one item per level, as many levels as the server's bound.
    ComPtr<IOPCBrowseServerAddressSpace> b;
    ASSERT_EQ(create(servers::test::clsidOf(servers::test::Fault::EndlessTree), b), S_OK);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Deeper")), S_OK);
    const Names ids = browse(b.get(), OPC_FLAT);
    ASSERT_EQ(ids.size(), servers::kit::Server::kMaxFlatDepth);
    platform::WideString deepest;
    for (std::size_t i = 0; i < 100 + servers::kit::Server::kMaxFlatDepth - 1; ++i) deepest += OLESTR("Deeper/");
    EXPECT_EQ(ids.back(), deepest + OLESTR("Depth"));
}

TEST(LazyBrowse, NextSkipCloneAndResetKeepTheirContractAtEveryPosition)
{
    const auto space = scale(40, 25, 2);
    NodeId area;
    NodeId branch;
    ASSERT_TRUE(space->findBranchPath(OLESTR("Area1"), area));
    ASSERT_TRUE(space->findBranchPath(OLESTR("Area1/Branch07"), branch));
    struct Case {
        Kind kind;
        NodeId node;
        Filters filters;
    };
    // Unfiltered index cursors skip by arithmetic, filtered ones name by name: both are here.
    for (const Case& c : {Case{Kind::Branch, servers::kit::kRootNode, {OLESTR(""), VT_EMPTY, 0}},
                          Case{Kind::Branch, area, {OLESTR("*[13579]"), VT_EMPTY, 0}},
                          Case{Kind::Leaf, branch, {OLESTR(""), VT_EMPTY, 0}},
                          Case{Kind::Leaf, branch, {OLESTR(""), VT_R8, OPC_READABLE}},
                          Case{Kind::Leaf, branch, {OLESTR("Item2?"), VT_EMPTY, 0}},
                          Case{Kind::Flat, area, {OLESTR(""), VT_EMPTY, 0}},
                          Case{Kind::Flat, servers::kit::kRootNode, {OLESTR("*Item0[0-2]"), VT_EMPTY, 0}},
                          Case{Kind::Flat, area, {OLESTR(""), VT_BOOL, 0}}}) {
        const Names expected = listed(c.kind, *space, c.node, c.filters);
        ASSERT_GE(expected.size(), 3u);
        expectWalk([&] { return cursorOf(c.kind, queryOf(space, c.node, c.filters)); }, expected,
                   std::string(kindName(c.kind)) + " " + u8(c.filters.pattern));
    }
    // The list enumerator of groups and test servers keeps the same contract.
    auto list = std::make_shared<const Names>(Names{OLESTR("a"), OLESTR("b"), OLESTR("c"), OLESTR("d"), OLESTR("e")});
    expectWalk([&] { return std::make_unique<servers::kit::ListCursor>(list); }, *list, "list");
    expectWalk([] { return std::make_unique<servers::kit::ListCursor>(nullptr); }, {}, "no list");
}

TEST(LazyBrowse, AnEnumeratorKeepsItsAddressSpace)
{
    auto space = scale(3, 2, 1);
    const std::weak_ptr<const AddressSpace> watch = space;
    ComPtr<IEnumString> e = enumeratorOf(cursorOf(Kind::Flat, queryOf(space, servers::kit::kRootNode, {OLESTR(""), VT_EMPTY, 0})));
    ComPtr<IEnumString> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    space.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(drain(e.get()).size(), 6u);
    e.reset();
    EXPECT_FALSE(watch.expired()) << "the clone still reads it";
    EXPECT_EQ(drain(clone.get()).back(), OLESTR("Branch2/Item1"));
    clone.reset();
    EXPECT_TRUE(watch.expired());

    // Through a server object that goes before its enumerator.
    ComPtr<IOPCBrowseServerAddressSpace> b;
    ASSERT_EQ(create(servers::simulation::CLSID_TagvistaSimulation, b), S_OK);
    ComPtr<IEnumString> names;
    ASSERT_EQ(b->BrowseOPCItemIDs(OPC_FLAT, OLESTR(""), VT_EMPTY, 0, names.put()), S_OK);
    b.reset();
    EXPECT_EQ(drain(names.get()), listed(Kind::Flat, *servers::simulation::buildSimulationSpace(), servers::kit::kRootNode,
                                         {OLESTR(""), VT_EMPTY, 0}));
}

} // namespace
