// The test servers that offer the subscription and the browser of one generation and not the
// other, and those whose DA 2.0 callback or DA 3.0 browser misbehaves.
#include "ServerTestSupport.h"

#include "servers/test/TestServerControl.h"
#include "servers/test/TestServers.h"

#include <algorithm>

namespace {

using namespace servertest;
using servers::test::Fault;
using servers::test::clsidOf;
using servers::test::journalOf;

constexpr OPCHANDLE kGroupHandle = 0x99;
// The five items of the test tree with client handles 1..5.
const WCHAR* const kIds[] = {OLESTR("a"), OLESTR("b"), OLESTR("X/x1"), OLESTR("X/x2"), OLESTR("X/Y/y1")};
constexpr OPCHANDLE kA = 1, kB = 2, kX1 = 3, kX2 = 4, kY1 = 5;

// A group of the fault's server holding the five items.
struct FaultyGroup {
    explicit FaultyGroup(Fault fault)
    {
        EXPECT_EQ(create(clsidOf(fault), server), S_OK);
        if (!server) return;
        EXPECT_EQ(addGroup(server.get(), OLESTR("G"), 10, group, &groupHandle, nullptr, kGroupHandle), S_OK);
        if (!group) return;
        for (OPCHANDLE h = 1; h <= 5; ++h) EXPECT_EQ(addItem(group.get(), kIds[h - 1], h), S_OK);
    }
    // Advises sink on the group's callback point; the point's answer.
    HRESULT adviseCallback(IUnknown* sink)
    {
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(group.as(container), S_OK);
        if (!container) return E_NOINTERFACE;
        EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.put()), S_OK);
        return point ? point->Advise(sink, &cookie) : E_FAIL;
    }

    ComPtr<IOPCServer> server;
    ComPtr<IOPCItemMgt> group;
    OPCHANDLE groupHandle = 0;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
};

// The first n calls a fault's callback makes.
std::vector<CallbackSink::Call> firstCalls(Fault fault, std::size_t n)
{
    FaultyGroup s(fault);
    auto sink = makeSink<CallbackSink>();
    EXPECT_EQ(s.adviseCallback(sink.get()), S_OK);
    EXPECT_TRUE(sink->waitFor(n));
    if (s.point) {
        EXPECT_EQ(s.point->Unadvise(s.cookie), S_OK);
    }
    auto calls = sink->calls();
    calls.resize(std::min(calls.size(), n));
    return calls;
}

template <class T>
bool offers(const ComPtr<T>& object, const IID& iid)
{
    ComPtr<IUnknown> found;
    return object && SUCCEEDED(object->QueryInterface(iid, found.putVoid())) && found;
}

TEST(InterfaceFaults, EachServerOffersTheInterfacesItsFaultSays)
{
    struct Case {
        Fault fault;
        bool da2Browser, da3Browser, dataObject, callbackPoint;
    };
    for (const Case& c : {Case{Fault::None, true, true, true, true},
                          Case{Fault::NoBrowse, false, false, true, true},
                          Case{Fault::Da3BrowseOnly, false, true, true, true},
                          Case{Fault::Da3EndlessContinuation, false, true, true, true},
                          Case{Fault::Da3DuplicateNames, false, true, true, true},
                          Case{Fault::Da3ItemIdsDiffer, false, true, true, true},
                          Case{Fault::OldInterfacesOnly, true, false, true, false},
                          Case{Fault::NoDataObject, true, true, false, false},
                          Case{Fault::CallbackOnly, true, true, false, true},
                          Case{Fault::StreamRefused, true, true, true, true},
                          Case{Fault::CallbackCountPastItems, true, true, false, true},
                          Case{Fault::CallbackNullArrays, true, true, false, true},
                          Case{Fault::CallbackUnknownHandles, true, true, false, true},
                          Case{Fault::CallbackWrongGroup, true, true, false, true},
                          Case{Fault::CallbackBadTypes, true, true, false, true},
                          Case{Fault::CallbackErrors, true, true, false, true},
                          Case{Fault::CallbackAfterUnadvise, true, true, false, true}}) {
        SCOPED_TRACE(servers::test::progIdOf(c.fault));
        ComPtr<IOPCServer> server;
        ASSERT_EQ(create(clsidOf(c.fault), server), S_OK);
        EXPECT_EQ(offers(server, IID_IOPCBrowseServerAddressSpace), c.da2Browser);
        EXPECT_EQ(offers(server, IID_IOPCBrowse), c.da3Browser);
        EXPECT_TRUE(offers(server, IID_IConnectionPointContainer)) << "the shutdown point stays";
        ComPtr<IOPCItemMgt> group;
        ASSERT_EQ(addGroup(server.get(), OLESTR("G"), 100, group), S_OK);
        EXPECT_EQ(offers(group, IID_IDataObject), c.dataObject);
        EXPECT_EQ(offers(group, IID_IConnectionPointContainer), c.callbackPoint);
    }
}

TEST(InterfaceFaults, AdviseFailsOnBothPathsStreamRefusedAndCallbackOnlyServeTheCallback)
{
    for (Fault fault : {Fault::AdviseFails, Fault::StreamRefused, Fault::CallbackOnly}) {
        SCOPED_TRACE(servers::test::progIdOf(fault));
        const servers::test::Journal before = journalOf(fault);
        FaultyGroup s(fault);
        ComPtr<IDataObject> data;
        if (fault != Fault::CallbackOnly) {
            ASSERT_EQ(s.group.as(data), S_OK);
            auto streamSink = makeSink<RecordingSink>();
            FORMATETC f = streamFormat();
            DWORD connection = 7;
            EXPECT_EQ(data->DAdvise(&f, 0, streamSink.get(), &connection), servers::test::kFailure);
            EXPECT_EQ(connection, 0u);
        }
        auto sink = makeSink<CallbackSink>();
        const HRESULT callback = s.adviseCallback(sink.get());
        const servers::test::Journal after = journalOf(fault);
        EXPECT_EQ(after.adviseCalls, before.adviseCalls + (data ? 1 : 0));
        EXPECT_EQ(after.callbackAdvises, before.callbackAdvises + 1);
        if (fault == Fault::AdviseFails) {
            EXPECT_EQ(callback, servers::test::kFailure);
            EXPECT_EQ(s.cookie, 0u);
            EXPECT_EQ(sink->refCount(), 1);
            continue;
        }
        ASSERT_EQ(callback, S_OK);
        ASSERT_TRUE(sink->waitFor(1));
        const auto first = sink->calls()[0];
        EXPECT_EQ(first.count, 5u);
        EXPECT_EQ(first.group, kGroupHandle);
        const int b = first.find(kB);
        ASSERT_GE(b, 0);
        EXPECT_EQ(platform::WideString(first.values[b]->bstrVal), OLESTR("Tagvista"));
        EXPECT_EQ(s.point->Unadvise(s.cookie), S_OK);
        EXPECT_GT(journalOf(fault).blocksDelivered, before.blocksDelivered) << "callbacks count as deliveries";
    }
}

TEST(InterfaceFaults, CallbacksWithWrongCountsHandlesGroupsOrArrays)
{
    // The count runs 1000 past the items, over arrays allocated that long.
    for (const auto& call : firstCalls(Fault::CallbackCountPastItems, 2)) {
        ASSERT_GT(call.count, 1000u);
        const DWORD sent = call.count - 1000;
        EXPECT_LE(sent, 5u);
        for (DWORD i = 0; i < sent; ++i) EXPECT_NE(call.handles[i], 0u);
        for (DWORD i = sent; i < call.count; ++i) {
            EXPECT_EQ(call.handles[i], 0u);
            EXPECT_EQ(call.values[i]->vt, VT_EMPTY);
        }
    }
    EXPECT_EQ(firstCalls(Fault::CallbackCountPastItems, 1).at(0).count, 1005u) << "the first call has all five";

    // One array null in turn: handles, values, qualities, time stamps, errors.
    const auto nulls = firstCalls(Fault::CallbackNullArrays, 6);
    ASSERT_EQ(nulls.size(), 6u);
    for (std::size_t c = 0; c < nulls.size(); ++c) {
        for (int a = 0; a < CallbackSink::kArrays; ++a) {
            EXPECT_EQ(nulls[c].nullArray[a], static_cast<std::size_t>(a) == c % 5) << "call " << c << ", array " << a;
        }
    }
    EXPECT_EQ(nulls[0].count, 5u);

    auto handles = firstCalls(Fault::CallbackUnknownHandles, 1).at(0).handles;
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(handles, (std::vector<OPCHANDLE>{0x40000001, 0x40000002, 0x40000003, 0x40000004, 0x40000005}));

    const auto wrongGroup = firstCalls(Fault::CallbackWrongGroup, 2);
    for (const auto& call : wrongGroup) EXPECT_EQ(call.group, kGroupHandle + 1);
    EXPECT_GE(wrongGroup.at(0).find(kA), 0) << "the items are right";
}

TEST(InterfaceFaults, CallbackBadTypesSendsValuesTheStreamCannotCarry)
{
    const auto call = firstCalls(Fault::CallbackBadTypes, 1).at(0);
    ASSERT_EQ(call.count, 5u);
    const auto valueOf = [&](OPCHANDLE h) -> const VARIANT& { return *call.values.at(call.find(h)).get(); };
    EXPECT_EQ(valueOf(kA).vt, VT_UNKNOWN);
    EXPECT_EQ(valueOf(kA).punkVal, nullptr);
    EXPECT_EQ(valueOf(kB).vt, VT_DISPATCH);
    EXPECT_EQ(valueOf(kB).pdispVal, nullptr);
    ASSERT_EQ(valueOf(kX1).vt, VT_BYREF | VT_I4);
    EXPECT_EQ(*valueOf(kX1).plVal, 1234);
    ASSERT_EQ(valueOf(kX2).vt, VT_ARRAY | VT_VARIANT);
    EXPECT_EQ(SafeArrayGetDim(valueOf(kX2).parray), 1u);
    LONG upper = -1;
    EXPECT_EQ(SafeArrayGetUBound(valueOf(kX2).parray, 1, &upper), S_OK);
    EXPECT_EQ(upper, 1);
    ASSERT_EQ(valueOf(kY1).vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(SafeArrayGetDim(valueOf(kY1).parray), 2u);
    for (WORD q : call.qualities) EXPECT_EQ(q, OPC_QUALITY_GOOD);
    EXPECT_EQ(call.masterQuality, S_OK);
}

TEST(InterfaceFaults, CallbackErrorsFailTheItemsUnderX)
{
    const auto call = firstCalls(Fault::CallbackErrors, 1).at(0);
    ASSERT_EQ(call.count, 5u);
    EXPECT_EQ(call.masterError, E_FAIL);
    EXPECT_EQ(call.masterQuality, S_FALSE);
    for (OPCHANDLE h : {kX1, kX2, kY1}) {
        const int i = call.find(h);
        ASSERT_GE(i, 0);
        EXPECT_EQ(call.errors[i], E_FAIL);
        EXPECT_EQ(call.values[i]->vt, VT_EMPTY);
        EXPECT_EQ(call.qualities[i] & OPC_QUALITY_MASK, OPC_QUALITY_BAD);
    }
    for (OPCHANDLE h : {kA, kB}) {
        const int i = call.find(h);
        ASSERT_GE(i, 0);
        EXPECT_EQ(call.errors[i], S_OK);
        EXPECT_NE(call.values[i]->vt, VT_EMPTY);
        EXPECT_EQ(call.qualities[i], OPC_QUALITY_GOOD);
    }
}

TEST(InterfaceFaults, CallbackAfterUnadviseCallsOnUntilTheGroupGoesAndThenThreeTimesMore)
{
    const servers::test::Journal before = journalOf(Fault::CallbackAfterUnadvise);
    FaultyGroup s(Fault::CallbackAfterUnadvise);
    auto sink = makeSink<CallbackSink>();
    ASSERT_EQ(s.adviseCallback(sink.get()), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    EXPECT_EQ(s.point->Unadvise(s.cookie), S_OK);
    EXPECT_EQ(s.point->Unadvise(s.cookie ^ 0x5A5A), CONNECT_E_NOCONNECTION);
    const std::size_t after = sink->callCount();
    ASSERT_TRUE(sink->waitFor(after + 3)) << "the careless server calls on";
    s.point.reset();
    s.group.reset();
    EXPECT_EQ(s.server->RemoveGroup(s.groupHandle, TRUE), S_OK);
    EXPECT_EQ(sink->refCount(), 1);

    const auto calls = sink->calls();
    ASSERT_GE(calls.size(), 3u);
    for (std::size_t c = calls.size() - 3; c < calls.size(); ++c) {
        EXPECT_EQ(calls[c].handles, (std::vector<OPCHANDLE>{1000, 1001, 1002, 1003, 1004}));
    }
    const servers::test::Journal journal = journalOf(Fault::CallbackAfterUnadvise);
    EXPECT_EQ(journal.blocksAfterRelease, before.blocksAfterRelease + 3);
    EXPECT_EQ(journal.blocksDelivered, before.blocksDelivered + calls.size());
}

// One Browse call's elements (names and ids) and point; the point given is the server's.
struct Piece {
    HRESULT hr = E_FAIL;
    BOOL more = FALSE;
    std::vector<std::pair<platform::WideString, platform::WideString>> elements;
    LPWSTR point = nullptr;
};

Piece browse3(IOPCBrowse* b, const WCHAR* id, LPWSTR point = nullptr)
{
    Piece p;
    platform::WideString idCopy = id;
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
    p.point = point;
    p.hr = b->Browse(idCopy.data(), &p.point, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, FALSE, FALSE, 0, nullptr, &p.more,
                     &count, &elements);
    for (DWORD i = 0; i < count; ++i) {
        p.elements.emplace_back(elements[i].szName, elements[i].szItemID);
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
    }
    CoTaskMemFree(elements);
    return p;
}

using Elements = std::vector<std::pair<platform::WideString, platform::WideString>>;

TEST(InterfaceFaults, Da3EndlessContinuationGivesOneMoreItemACallForEver)
{
    ComPtr<IOPCBrowse> b;
    ASSERT_EQ(create(clsidOf(Fault::Da3EndlessContinuation), b), S_OK);
    Piece p = browse3(b.get(), OLESTR(""));
    ASSERT_EQ(p.hr, S_OK);
    EXPECT_EQ(p.elements, (Elements{{OLESTR("X"), OLESTR("X")}, {OLESTR("a"), OLESTR("a")}, {OLESTR("b"), OLESTR("b")}}));
    for (int n = 0; n < 50; ++n) {
        ASSERT_EQ(p.more, TRUE);
        ASSERT_NE(p.point, nullptr);
        ASSERT_NE(platform::WideString(p.point), OLESTR(""));
        p = browse3(b.get(), OLESTR(""), p.point);
        ASSERT_EQ(p.hr, S_OK);
        const platform::WideString more = u16("More" + std::to_string(n));
        EXPECT_EQ(p.elements, (Elements{{more, more}}));
    }
    CoTaskMemFree(p.point);
}

TEST(InterfaceFaults, Da3DuplicateNamesListsTheDuplicatesThroughIOPCBrowse)
{
    ComPtr<IOPCBrowse> b;
    ASSERT_EQ(create(clsidOf(Fault::Da3DuplicateNames), b), S_OK);
    const Piece root = browse3(b.get(), OLESTR(""));
    EXPECT_EQ(root.elements, (Elements{{OLESTR("X"), OLESTR("X")},
                                       {OLESTR("X"), OLESTR("X")},
                                       {OLESTR("a"), OLESTR("a")},
                                       {OLESTR("a"), OLESTR("a")},
                                       {OLESTR("b"), OLESTR("b")}}));
}

TEST(InterfaceFaults, Da3ItemIdsDifferFromTheJoinedNamesAndOnlyThoseIdsAreTaken)
{
    ComPtr<IOPCServer> server;
    ASSERT_EQ(create(clsidOf(Fault::Da3ItemIdsDiffer), server), S_OK);
    ComPtr<IOPCBrowse> b;
    ASSERT_EQ(server.as(b), S_OK);
    EXPECT_EQ(browse3(b.get(), OLESTR("")).elements,
              (Elements{{OLESTR("X"), OLESTR("ns=1;X")}, {OLESTR("a"), OLESTR("ns=1;a")}, {OLESTR("b"), OLESTR("ns=1;b")}}));
    EXPECT_EQ(browse3(b.get(), OLESTR("ns=1;X")).elements,
              (Elements{{OLESTR("Y"), OLESTR("ns=1;X/Y")}, {OLESTR("x1"), OLESTR("ns=1;X/x1")}, {OLESTR("x2"), OLESTR("ns=1;X/x2")}}));
    EXPECT_EQ(browse3(b.get(), OLESTR("X")).hr, OPC_E_UNKNOWNITEMID) << "the joined names are no id";
    EXPECT_EQ(browse3(b.get(), OLESTR("ns=1;")).hr, OPC_E_UNKNOWNITEMID);

    ComPtr<IOPCItemMgt> group;
    ASSERT_EQ(addGroup(server.get(), OLESTR("G"), 10, group, nullptr, nullptr, kGroupHandle), S_OK);
    EXPECT_EQ(addItem(group.get(), OLESTR("a"), 9), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(addItem(group.get(), OLESTR("X/Y/y1"), 9), OPC_E_UNKNOWNITEMID);
    ASSERT_EQ(addItem(group.get(), OLESTR("ns=1;X/Y/y1"), kY1), S_OK);
    ASSERT_EQ(addItem(group.get(), OLESTR("ns=1;b"), kB), S_OK);
    ComPtr<IDataObject> data;
    ASSERT_EQ(group.as(data), S_OK);
    auto sink = makeSink<RecordingSink>();
    FORMATETC f = streamFormat();
    DWORD connection = 0;
    ASSERT_EQ(data->DAdvise(&f, 0, sink.get(), &connection), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    const BlockReader block(sink->calls()[0].block);
    ASSERT_EQ(block.count(), 2u);
    for (DWORD i = 0; i < 2; ++i) {
        if (block.client(i) == kB) EXPECT_EQ(block.text(i), OLESTR("Tagvista"));
        else EXPECT_EQ(block.u16(block.offset(i) + 8), 42);
    }
    EXPECT_EQ(data->DUnadvise(connection), S_OK);
}

} // namespace
