// The DA 2.0 subscription: a group's connection point for IOPCDataCallback, the calls its update
// thread makes (a full one first, then the changes), and the ends of a connection while calls
// run, beside the DA 1.0 stream of the same group.
#include "ServerTestSupport.h"

#include "servers/kit/Server.h"
#include "servers/kit/TreeAddressSpace.h"
#include "servers/test/TestServers.h"

#include <algorithm>
#include <atomic>
#include <future>

namespace {

using namespace servertest;
using servers::test::Fault;
using servers::test::clsidOf;

// The well-behaved test server's items with client handles 1..5; a (1), X/x1 (3) and X/x2 (4)
// change, b (2) and X/Y/y1 (5) never do.
constexpr OPCHANDLE kA = 1, kB = 2, kX1 = 3, kX2 = 4, kY1 = 5;
constexpr OPCHANDLE kGroupHandle = 0x99;

class DataCallback : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(create(clsidOf(Fault::None), _server), S_OK);
        ASSERT_EQ(addGroup(_server.get(), OLESTR("Sub"), 10, _items, &_groupHandle, nullptr, kGroupHandle), S_OK);
        ASSERT_EQ(_items.as(_container), S_OK);
        ASSERT_EQ(_container->FindConnectionPoint(IID_IOPCDataCallback, _point.put()), S_OK);
        _sink = makeSink<CallbackSink>();
    }
    // The five items, y1 in the type asked for.
    void addAll(VARTYPE y1Type = VT_EMPTY)
    {
        const WCHAR* ids[] = {OLESTR("a"), OLESTR("b"), OLESTR("X/x1"), OLESTR("X/x2"), OLESTR("X/Y/y1")};
        for (OPCHANDLE h = 1; h <= 5; ++h) {
            ASSERT_EQ(addItem(_items.get(), ids[h - 1], h, nullptr, h == kY1 ? y1Type : VARTYPE(VT_EMPTY)), S_OK);
        }
    }
    DWORD advise(IUnknown* sink)
    {
        DWORD cookie = 0;
        EXPECT_EQ(_point->Advise(sink, &cookie), S_OK);
        EXPECT_NE(cookie, 0u);
        return cookie;
    }

    ComPtr<IOPCServer> _server;
    ComPtr<IOPCItemMgt> _items;
    OPCHANDLE _groupHandle = 0;
    ComPtr<IConnectionPointContainer> _container;
    ComPtr<IConnectionPoint> _point;
    ComPtr<CallbackSink> _sink;
};

// Every array holds count entries, and each entry is whole.
void expectConsistent(const CallbackSink::Call& call)
{
    for (bool null : call.nullArray) EXPECT_FALSE(null);
    EXPECT_EQ(call.transid, 0u);
    EXPECT_EQ(call.group, kGroupHandle);
    EXPECT_GT(call.count, 0u) << "no empty calls";
    bool allGood = true;
    for (DWORD i = 0; i < call.count; ++i) {
        EXPECT_EQ(call.errors[i], S_OK);
        EXPECT_NE(platform::fileTimeToU64(call.timeStamps[i]), 0u);
        EXPECT_NE(call.values[i]->vt, VT_EMPTY);
        allGood = allGood && (call.qualities[i] & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD;
    }
    EXPECT_EQ(call.masterQuality, allGood ? S_OK : S_FALSE);
    EXPECT_EQ(call.masterError, S_OK);
}

TEST_F(DataCallback, PointIsFoundForIOPCDataCallbackOnlyAndHoldsTheGroup)
{
    IID iid{};
    ASSERT_EQ(_point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCDataCallback));
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(_point->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_EQ(back.get(), _container.get());
    ComPtr<IConnectionPoint> again;
    ASSERT_EQ(_container->FindConnectionPoint(IID_IOPCDataCallback, again.put()), S_OK);
    EXPECT_EQ(again.get(), _point.get()) << "one point per group";

    auto* other = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(_container->FindConnectionPoint(IID_IOPCShutdown, &other), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(_container->FindConnectionPoint(IID_IOPCDataCallback, nullptr), E_POINTER);
    auto* points = reinterpret_cast<IEnumConnectionPoints*>(1);
    EXPECT_EQ(_container->EnumConnectionPoints(&points), E_NOTIMPL);
    EXPECT_EQ(points, nullptr);
    EXPECT_EQ(_point->EnumConnections(nullptr), E_NOTIMPL);
    ComPtr<IOPCItemMgt> notThePoint;
    EXPECT_EQ(_point.as(notThePoint), E_NOINTERFACE) << "the point is an object of its own";

    // Holding the point holds the group: removed, it stays whole until the point goes.
    _items.reset();
    _container.reset();
    again.reset();
    EXPECT_EQ(_server->RemoveGroup(_groupHandle, FALSE), OPC_S_INUSE);
    ASSERT_EQ(_point->GetConnectionPointContainer(back.put()), S_OK);
    ComPtr<IOPCItemMgt> items;
    EXPECT_EQ(back.as(items), S_OK);
}

TEST_F(DataCallback, AdviseTakesOneCallbackSinkAndUnadviseLetsItGo)
{
    auto streamSink = makeSink<RecordingSink>();
    DWORD cookie = 77;
    EXPECT_EQ(_point->Advise(streamSink.get(), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(streamSink->refCount(), 1) << "a refused advise keeps no reference";
    EXPECT_EQ(_point->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(_point->Advise(_sink.get(), nullptr), E_POINTER);

    cookie = advise(_sink.get());
    EXPECT_EQ(_sink->refCount(), 2);
    auto second = makeSink<CallbackSink>();
    DWORD secondCookie = 5;
    EXPECT_EQ(_point->Advise(second.get(), &secondCookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(secondCookie, 0u);
    EXPECT_EQ(second->refCount(), 1);

    // The stream and the callback are two kinds of connection: neither unadvise takes the other's.
    ComPtr<IDataObject> data;
    ASSERT_EQ(_items.as(data), S_OK);
    FORMATETC f = streamFormat();
    DWORD stream = 0;
    ASSERT_EQ(data->DAdvise(&f, 0, streamSink.get(), &stream), S_OK) << "a group takes both at once";
    EXPECT_NE(stream, cookie);
    EXPECT_EQ(data->DUnadvise(cookie), OLE_E_NOCONNECTION);
    EXPECT_EQ(_point->Unadvise(stream), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(_point->Unadvise(cookie ^ stream ^ 0x5A5A), CONNECT_E_NOCONNECTION);

    EXPECT_EQ(_point->Unadvise(cookie), S_OK);
    EXPECT_EQ(_sink->refCount(), 1);
    EXPECT_EQ(_point->Unadvise(cookie), CONNECT_E_NOCONNECTION) << "a cookie is taken back once";
    const DWORD next = advise(second.get());
    EXPECT_NE(next, cookie) << "nor given again";
    EXPECT_EQ(_point->Unadvise(next), S_OK);
    EXPECT_EQ(data->DUnadvise(stream), S_OK);
    EXPECT_EQ(_sink->otherCalls(), 0u);
}

TEST_F(DataCallback, FirstCallIsFullAndLaterOnesCarryOnlyChanges)
{
    addAll(VT_BSTR);
    const DWORD cookie = advise(_sink.get());
    ASSERT_TRUE(_sink->waitFor(4));
    ASSERT_EQ(_point->Unadvise(cookie), S_OK);
    const auto calls = _sink->calls();

    const CallbackSink::Call& first = calls[0];
    expectConsistent(first);
    auto handles = first.handles;
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(handles, (std::vector<OPCHANDLE>{kA, kB, kX1, kX2, kY1}));
    const int b = first.find(kB);
    ASSERT_GE(b, 0);
    ASSERT_EQ(first.values[b]->vt, VT_BSTR);
    EXPECT_EQ(platform::WideString(first.values[b]->bstrVal), OLESTR("Tagvista"));
    const int y1 = first.find(kY1);
    ASSERT_GE(y1, 0);
    ASSERT_EQ(first.values[y1]->vt, VT_BSTR);
    EXPECT_EQ(platform::WideString(first.values[y1]->bstrVal), OLESTR("42"));
    EXPECT_EQ(first.values[first.find(kX1)]->vt, VT_R8);
    EXPECT_EQ(first.masterQuality, S_OK);

    LONG lastA = -1;
    for (std::size_t c = 1; c < calls.size(); ++c) {
        expectConsistent(calls[c]);
        EXPECT_LT(calls[c].find(kB), 0) << "b never changes";
        EXPECT_LT(calls[c].find(kY1), 0) << "y1 never changes";
        const int a = calls[c].find(kA);
        if (a < 0) continue;
        ASSERT_EQ(calls[c].values[a]->vt, VT_I4);
        EXPECT_GT(calls[c].values[a]->lVal, lastA) << "the counter only goes up";
        lastA = calls[c].values[a]->lVal;
    }
}

TEST_F(DataCallback, AStreamAndACallbackOnOneGroupBothGetEveryItem)
{
    addAll();
    ComPtr<IDataObject> data;
    ASSERT_EQ(_items.as(data), S_OK);
    auto streamSink = makeSink<RecordingSink>();
    FORMATETC f = streamFormat();
    DWORD stream = 0;
    ASSERT_EQ(data->DAdvise(&f, 0, streamSink.get(), &stream), S_OK);
    const DWORD cookie = advise(_sink.get());
    ASSERT_TRUE(streamSink->waitFor(3));
    ASSERT_TRUE(_sink->waitFor(3));
    EXPECT_EQ(BlockReader(streamSink->calls()[0].block).count(), 5u);
    // The callback came later: its first call is full whatever the stream had been sent.
    EXPECT_EQ(_sink->calls()[0].count, 5u);
    EXPECT_EQ(data->DUnadvise(stream), S_OK);
    EXPECT_EQ(_point->Unadvise(cookie), S_OK);
}

// A group of the kit on an address space of its own: one item of good quality, one uncertain.
TEST(DataCallbackQuality, MasterQualityIsSFalseWhenAnyQualityIsNotGood)
{
    auto space = std::make_shared<servers::kit::TreeAddressSpace>();
    servers::kit::Generator good;
    good.constant->vt = VT_I4;
    good.constant->lVal = 1;
    servers::kit::Generator doubtful = good;
    doubtful.quality = OPC_QUALITY_UNCERTAIN | OPC_QUALITY_LAST_USABLE;
    space->addItem(servers::kit::kRootNode, OLESTR("good"), VT_I4, OPC_READABLE, good);
    space->addItem(servers::kit::kRootNode, OLESTR("doubtful"), VT_I4, OPC_READABLE, doubtful);
    ComPtr<servers::kit::Server> server(new servers::kit::Server({}, space));

    const auto firstCall = [&](const std::vector<const WCHAR*>& ids) {
        ComPtr<IOPCItemMgt> group;
        EXPECT_EQ(addGroup(server.get(), nullptr, 10, group, nullptr, nullptr, kGroupHandle), S_OK);
        OPCHANDLE h = 1;
        for (const WCHAR* id : ids) EXPECT_EQ(addItem(group.get(), id, h++), S_OK);
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(group.as(container), S_OK);
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.put()), S_OK);
        auto sink = makeSink<CallbackSink>();
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(sink.get(), &cookie), S_OK);
        EXPECT_TRUE(sink->waitFor(1));
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
        return sink->calls().at(0);
    };
    const auto onlyGood = firstCall({OLESTR("good")});
    expectConsistent(onlyGood);
    EXPECT_EQ(onlyGood.masterQuality, S_OK);
    const auto mixed = firstCall({OLESTR("good"), OLESTR("doubtful")});
    expectConsistent(mixed);
    EXPECT_EQ(mixed.masterQuality, S_FALSE);
    EXPECT_EQ(mixed.qualities[mixed.find(2)], OPC_QUALITY_UNCERTAIN | OPC_QUALITY_LAST_USABLE);
    EXPECT_EQ(mixed.masterError, S_OK) << "a quality is no error";
}

TEST_F(DataCallback, UnadviseWaitsForTheRunningCallback)
{
    addAll();
    Gate gate;
    _sink->onCall = [&] { gate.hold(); };
    const DWORD cookie = advise(_sink.get());
    ASSERT_TRUE(gate.waitInside());

    std::atomic<bool> opened{false};
    std::atomic<bool> returnedEarly{false};
    auto unadvise = std::async(std::launch::async, [&] {
        const HRESULT hr = _point->Unadvise(cookie);
        returnedEarly = !opened.load();
        return hr;
    });
    // An Unadvise that does not wait returns long before this; one that waits cannot.
    EXPECT_EQ(unadvise.wait_for(200ms), std::future_status::timeout);
    opened = true;
    gate.open();
    ASSERT_EQ(unadvise.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(unadvise.get(), S_OK);
    EXPECT_FALSE(returnedEarly);
    EXPECT_EQ(_sink->refCount(), 1) << "the server let go of the sink";
    const std::size_t calls = _sink->callCount();
    // The group goes on for a new connection: its calls show that time has passed, and none
    // reached the old sink.
    auto witness = makeSink<CallbackSink>();
    advise(witness.get());
    ASSERT_TRUE(witness->waitFor(5));
    EXPECT_EQ(_sink->callCount(), calls);
}

TEST_F(DataCallback, UnadviseFromInsideTheCallbackReturnsAtOnce)
{
    addAll();
    std::promise<DWORD> cookie;
    std::shared_future<DWORD> known = cookie.get_future().share();
    std::promise<HRESULT> result;
    std::atomic<bool> done{false};
    _sink->onCall = [&] {
        if (done.exchange(true)) return;
        // The cookie is the test's only after Advise has returned.
        result.set_value(_point->Unadvise(known.get()));
    };
    const DWORD c = advise(_sink.get());
    cookie.set_value(c);
    auto future = result.get_future();
    ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready) << "Unadvise waited for its own callback";
    EXPECT_EQ(future.get(), S_OK);
    EXPECT_EQ(_point->Unadvise(c), CONNECT_E_NOCONNECTION);
}

TEST_F(DataCallback, RemovingTheGroupOrReleasingTheServerLetsGoOfTheSink)
{
    addAll();
    advise(_sink.get());
    ASSERT_TRUE(_sink->waitFor(2));
    _point.reset();
    _container.reset();
    _items.reset();
    EXPECT_EQ(_server->RemoveGroup(_groupHandle, FALSE), S_OK);
    EXPECT_EQ(_sink->refCount(), 1);

    ComPtr<IOPCItemMgt> other;
    ASSERT_EQ(addGroup(_server.get(), OLESTR("Other"), 10, other), S_OK);
    ASSERT_EQ(addItem(other.get(), OLESTR("a"), kA), S_OK);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(other.as(container), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.put()), S_OK);
    auto last = makeSink<CallbackSink>();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(last.get(), &cookie), S_OK);
    ASSERT_TRUE(last->waitFor(2));
    // The client's order: the group's interfaces first, then the server until its count is 0.
    point.reset();
    container.reset();
    other.reset();
    EXPECT_EQ(_server.detach()->Release(), 0u);
    EXPECT_EQ(last->refCount(), 1);
}

} // namespace