// The DA 1.0 subscription: advising, the blocks the update thread sends, and the ends of a
// connection (DUnadvise, group removal, server release) while callbacks run.
#include "ServerTestSupport.h"

#include "servers/test/TestServers.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <set>
#include <thread>

namespace {

using namespace servertest;
using servers::test::Fault;
using servers::test::clsidOf;

// The well-behaved test server's items with client handles 1..5; a (1), X/x1 (3) and X/x2 (4)
// change, b (2) and X/Y/y1 (5) never do.
constexpr OPCHANDLE kA = 1, kB = 2, kX1 = 3, kX2 = 4, kY1 = 5;

class Subscription : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(create(clsidOf(Fault::None), _server), S_OK);
        ASSERT_EQ(addGroup(_server.get(), OLESTR("Sub"), 10, _items, &_groupHandle, nullptr, 0x99), S_OK);
        ASSERT_EQ(_items.as(_data), S_OK);
        _sink = makeSink<RecordingSink>();
    }
    void addAll()
    {
        const WCHAR* ids[] = {OLESTR("a"), OLESTR("b"), OLESTR("X/x1"), OLESTR("X/x2"), OLESTR("X/Y/y1")};
        for (OPCHANDLE h = 1; h <= 5; ++h) ASSERT_EQ(addItem(_items.get(), ids[h - 1], h), S_OK);
    }
    DWORD advise(IAdviseSink* sink, const char* format = OPCSTMFORMATDATATIME)
    {
        FORMATETC f = streamFormat(format);
        DWORD connection = 0;
        EXPECT_EQ(_data->DAdvise(&f, ADVF_PRIMEFIRST, sink, &connection), S_OK);
        return connection;
    }

    ComPtr<IOPCServer> _server;
    ComPtr<IOPCItemMgt> _items;
    ComPtr<IDataObject> _data;
    OPCHANDLE _groupHandle = 0;
    ComPtr<RecordingSink> _sink;
};

TEST_F(Subscription, AdviseTakesTheTwoStreamFormatsOnGlobalMemoryOnce)
{
    FORMATETC f = streamFormat(OPCSTMFORMATDATATIME);
    DWORD connection = 0;
    f.tymed = TYMED_ISTREAM;
    EXPECT_EQ(_data->DAdvise(&f, 0, _sink.get(), &connection), DV_E_FORMATETC);
    f = streamFormat(OPCSTMFORMATWRITECOMPLETE);
    EXPECT_EQ(_data->DAdvise(&f, 0, _sink.get(), &connection), DV_E_FORMATETC);
    f = streamFormat("SomethingElse");
    EXPECT_EQ(_data->DAdvise(&f, 0, _sink.get(), &connection), DV_E_FORMATETC);
    EXPECT_EQ(_sink->refCount(), 1) << "a refused advise keeps no reference";

    f = streamFormat("opcstmformatdatatime");   // registered names ignore case
    ASSERT_EQ(_data->DAdvise(&f, 0, _sink.get(), &connection), S_OK);
    DWORD second = 0;
    EXPECT_EQ(_data->DAdvise(&f, 0, _sink.get(), &second), CONNECT_E_ADVISELIMIT);
    f = streamFormat(OPCSTMFORMATDATA);
    ASSERT_EQ(_data->DAdvise(&f, 0, _sink.get(), &second), S_OK);
    EXPECT_NE(second, connection);

    EXPECT_EQ(_data->DUnadvise(connection ^ second ^ 0x5A5A), OLE_E_NOCONNECTION);
    EXPECT_EQ(_data->DUnadvise(connection), S_OK);
    EXPECT_EQ(_data->DUnadvise(connection), OLE_E_NOCONNECTION);
    EXPECT_EQ(_data->DUnadvise(second), S_OK);
    EXPECT_EQ(_sink->refCount(), 1) << "DUnadvise let go of the sink";

    STGMEDIUM medium{};
    EXPECT_EQ(_data->GetData(&f, &medium), E_NOTIMPL);
}

TEST_F(Subscription, FirstBlockIsFullAndLaterOnesCarryOnlyChanges)
{
    addAll();
    const DWORD connection = advise(_sink.get());
    ASSERT_TRUE(_sink->waitFor(4));
    ASSERT_EQ(_data->DUnadvise(connection), S_OK);

    const auto calls = _sink->calls();
    const auto dataTime = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(OPCSTMFORMATDATATIME));
    const BlockReader first(calls[0].block);
    EXPECT_EQ(calls[0].format, dataTime);
    EXPECT_EQ(calls[0].tymed, TYMED_HGLOBAL);
    EXPECT_EQ(first.size(), calls[0].block.size());
    EXPECT_EQ(first.clientGroup(), 0x99u);
    EXPECT_EQ(first.status(), S_OK);
    auto handles = first.clients();
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(handles, (std::vector<OPCHANDLE>{kA, kB, kX1, kX2, kY1}));
    for (DWORD i = 0; i < first.count(); ++i) {
        if (first.client(i) == kB) {
            EXPECT_EQ(first.vt(i), VT_BSTR);
            EXPECT_EQ(first.text(i), OLESTR("Tagvista"));
        }
        if (first.client(i) == kY1) {
            EXPECT_EQ(first.vt(i), VT_I2);
            EXPECT_EQ(first.u16(first.offset(i) + 8), 42);
        }
        EXPECT_EQ(first.quality(i), OPC_QUALITY_GOOD);
    }

    LONG lastA = -1;
    for (std::size_t c = 1; c < calls.size(); ++c) {
        const BlockReader later(calls[c].block);
        ASSERT_GT(later.count(), 0u) << "no empty blocks";
        for (DWORD i = 0; i < later.count(); ++i) {
            EXPECT_NE(later.client(i), kB) << "b never changes";
            EXPECT_NE(later.client(i), kY1) << "y1 never changes";
            if (later.client(i) == kA) {
                EXPECT_GT(later.i4(i), lastA) << "the counter only goes up";
                lastA = later.i4(i);
            }
        }
    }
}

TEST_F(Subscription, NothingIsSentWhenNothingChangesNorByInactiveGroupsOrItems)
{
    // This group holds only items that never change; a second group on the same server, with a
    // changing item and the same rate, shows the update threads had their chances.
    ASSERT_EQ(addItem(_items.get(), OLESTR("b"), kB), S_OK);
    ASSERT_EQ(addItem(_items.get(), OLESTR("X/Y/y1"), kY1), S_OK);
    OPCITEMRESULT inactive{};
    ASSERT_EQ(addItem(_items.get(), OLESTR("a"), kA, &inactive, VT_EMPTY, FALSE), S_OK);
    advise(_sink.get());

    ComPtr<IOPCItemMgt> idle;
    OPCHANDLE idleHandle = 0;
    ASSERT_EQ(_server->AddGroup(OLESTR("Idle"), FALSE, 10, 1, nullptr, nullptr, 0, &idleHandle, nullptr, IID_IOPCItemMgt,
                                reinterpret_cast<IUnknown**>(idle.put())),
              E_INVALIDARG) << "the revised rate is required";
    DWORD revised = 0;
    ASSERT_EQ(_server->AddGroup(OLESTR("Idle"), FALSE, 10, 1, nullptr, nullptr, 0, &idleHandle, &revised, IID_IOPCItemMgt,
                                reinterpret_cast<IUnknown**>(idle.put())),
              S_OK);
    ASSERT_EQ(addItem(idle.get(), OLESTR("a"), kA), S_OK);
    ComPtr<IDataObject> idleData;
    ASSERT_EQ(idle.as(idleData), S_OK);
    auto idleSink = makeSink<RecordingSink>();
    FORMATETC f = streamFormat();
    DWORD idleConnection = 0;
    ASSERT_EQ(idleData->DAdvise(&f, 0, idleSink.get(), &idleConnection), S_OK);

    ComPtr<IOPCItemMgt> busy;
    ASSERT_EQ(addGroup(_server.get(), OLESTR("Busy"), 10, busy), S_OK);
    ASSERT_EQ(addItem(busy.get(), OLESTR("a"), kA), S_OK);
    ComPtr<IDataObject> busyData;
    ASSERT_EQ(busy.as(busyData), S_OK);
    auto busySink = makeSink<RecordingSink>();
    DWORD busyConnection = 0;
    ASSERT_EQ(busyData->DAdvise(&f, 0, busySink.get(), &busyConnection), S_OK);

    ASSERT_TRUE(busySink->waitFor(6));
    EXPECT_EQ(_sink->callCount(), 1u) << "the prime block, then nothing";
    EXPECT_EQ(BlockReader(_sink->calls()[0].block).count(), 2u) << "the inactive item is not sent";
    EXPECT_EQ(idleSink->callCount(), 0u) << "an inactive group sends nothing";

    // Activating the group sends everything at once; activating an item sends it.
    ComPtr<IOPCGroupStateMgt> idleState;
    ASSERT_EQ(idle.as(idleState), S_OK);
    BOOL on = TRUE;
    ASSERT_EQ(idleState->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr), S_OK);
    ASSERT_TRUE(idleSink->waitFor(1));
    HRESULT* errors = nullptr;
    ASSERT_EQ(_items->SetActiveState(1, &inactive.hServer, TRUE, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(_sink->waitFor(2));
    const auto second = BlockReader(_sink->calls()[1].block);
    EXPECT_NE(std::find(second.clients().begin(), second.clients().end(), kA), second.clients().end());
    EXPECT_EQ(busyData->DUnadvise(busyConnection), S_OK);
    EXPECT_EQ(idleData->DUnadvise(idleConnection), S_OK);
}

TEST_F(Subscription, BothFormatsOnOneGroupGetTheirOwnLayout)
{
    ASSERT_EQ(addItem(_items.get(), OLESTR("b"), kB), S_OK);
    auto plain = makeSink<RecordingSink>();
    advise(_sink.get(), OPCSTMFORMATDATATIME);
    advise(plain.get(), OPCSTMFORMATDATA);
    ASSERT_TRUE(_sink->waitFor(1));
    ASSERT_TRUE(plain->waitFor(1));
    const BlockReader timed(_sink->calls()[0].block, true);
    const BlockReader untimed(plain->calls()[0].block, false);
    EXPECT_EQ(timed.offset(0), 40u);
    EXPECT_EQ(untimed.offset(0), 32u);
    EXPECT_EQ(untimed.text(0), OLESTR("Tagvista"));
    EXPECT_EQ(timed.size(), untimed.size() + 8);
    EXPECT_EQ(plain->calls()[0].format, static_cast<CLIPFORMAT>(RegisterClipboardFormatA(OPCSTMFORMATDATA)));
}

TEST_F(Subscription, RequestedTypesAreDeliveredConverted)
{
    OPCITEMRESULT r{};
    ASSERT_EQ(addItem(_items.get(), OLESTR("X/Y/y1"), kY1, &r, VT_BSTR), S_OK);
    EXPECT_EQ(r.vtCanonicalDataType, VT_I2);
    advise(_sink.get());
    ASSERT_TRUE(_sink->waitFor(1));
    const BlockReader block(_sink->calls()[0].block);
    EXPECT_EQ(block.vt(0), VT_BSTR);
    EXPECT_EQ(block.text(0), OLESTR("42"));
}

// A sink that holds the update thread inside OnDataChange until the test opens the gate.
class GateSink : public RecordingSink {
public:
    GateSink() { onCall = [this] { _gate.hold(); }; }
    bool waitInside() { return _gate.waitInside(); }
    void open() { _gate.open(); }

private:
    Gate _gate;
};

TEST_F(Subscription, DUnadviseWaitsForTheRunningCallback)
{
    addAll();
    auto gate = makeSink<GateSink>();
    const DWORD connection = advise(gate.get());
    ASSERT_TRUE(gate->waitInside());

    std::atomic<bool> opened{false};
    std::atomic<bool> returnedEarly{false};
    auto unadvise = std::async(std::launch::async, [&] {
        const HRESULT hr = _data->DUnadvise(connection);
        returnedEarly = !opened.load();
        return hr;
    });
    // A DUnadvise that does not wait returns long before this; one that waits cannot.
    EXPECT_EQ(unadvise.wait_for(200ms), std::future_status::timeout);
    opened = true;
    gate->open();
    ASSERT_EQ(unadvise.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(unadvise.get(), S_OK);
    EXPECT_FALSE(returnedEarly);
    EXPECT_EQ(gate->refCount(), 1) << "the server let go of the sink";
    const std::size_t calls = gate->callCount();
    // The group goes on for other connections: their blocks show that time has passed, and none
    // reached the old sink.
    advise(_sink.get());
    ASSERT_TRUE(_sink->waitFor(5));
    EXPECT_EQ(gate->callCount(), calls);
}

TEST_F(Subscription, DUnadviseFromInsideTheCallbackReturnsAtOnce)
{
    addAll();
    std::mutex m;
    std::condition_variable cv;
    DWORD connection = 0;
    std::promise<HRESULT> result;
    std::atomic<bool> done{false};
    _sink->onCall = [&] {
        if (done.exchange(true)) return;
        // The number is the test's only after DAdvise has returned.
        DWORD c;
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return connection != 0; });
            c = connection;
        }
        result.set_value(_data->DUnadvise(c));
    };
    const DWORD c = advise(_sink.get());
    {
        std::lock_guard lock(m);
        connection = c;
    }
    cv.notify_all();
    auto future = result.get_future();
    ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready) << "DUnadvise waited for its own callback";
    EXPECT_EQ(future.get(), S_OK);
    EXPECT_EQ(_data->DUnadvise(c), OLE_E_NOCONNECTION);
}

TEST_F(Subscription, RemovingTheGroupStopsItAndLetsGoOfTheSink)
{
    addAll();
    advise(_sink.get());
    ASSERT_TRUE(_sink->waitFor(2));
    _data.reset();
    _items.reset();
    EXPECT_EQ(_server->RemoveGroup(_groupHandle, FALSE), S_OK);
    EXPECT_EQ(_sink->refCount(), 1);
    const std::size_t calls = _sink->callCount();
    // A sink no longer referenced gets no calls: count them against another group's.
    ComPtr<IOPCItemMgt> other;
    ASSERT_EQ(addGroup(_server.get(), OLESTR("Other"), 10, other), S_OK);
    ASSERT_EQ(addItem(other.get(), OLESTR("a"), kA), S_OK);
    ComPtr<IDataObject> otherData;
    ASSERT_EQ(other.as(otherData), S_OK);
    auto witness = makeSink<RecordingSink>();
    FORMATETC f = streamFormat();
    DWORD c = 0;
    ASSERT_EQ(otherData->DAdvise(&f, 0, witness.get(), &c), S_OK);
    ASSERT_TRUE(witness->waitFor(3));
    EXPECT_EQ(_sink->callCount(), calls);
}

TEST_F(Subscription, ReleasingTheServerStopsItsGroupsAndLetsGoOfTheSinks)
{
    addAll();
    advise(_sink.get());
    ASSERT_TRUE(_sink->waitFor(2));
    // The client's order: the group's interfaces first, then the server until its count is 0.
    _data.reset();
    _items.reset();
    EXPECT_EQ(_server.detach()->Release(), 0u);
    EXPECT_EQ(_sink->refCount(), 1);
}

TEST_F(Subscription, ReleasingTheServerFromInsideACallbackNeitherHangsNorCrashes)
{
    addAll();
    std::promise<void> released;
    std::atomic<IOPCServer*> server{_server.detach()};
    _sink->onCall = [&] {
        if (IOPCServer* s = server.exchange(nullptr)) {
            s->Release();
            released.set_value();
        }
    };
    advise(_sink.get());
    _data.reset();
    _items.reset();
    ASSERT_EQ(released.get_future().wait_for(kDeadline), std::future_status::ready);
    // The group's thread ends after the callback returns and then lets go of the sink.
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (_sink->refCount() != 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(_sink->refCount(), 1);
}

TEST_F(Subscription, StatusKnowsTheLastUpdate)
{
    addAll();
    advise(_sink.get());
    ASSERT_TRUE(_sink->waitFor(1));
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(_server->GetStatus(&status), S_OK);
    EXPECT_GE(platform::fileTimeToU64(status->ftLastUpdateTime), platform::fileTimeToU64(status->ftStartTime));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

} // namespace
