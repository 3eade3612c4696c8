// The test servers that end badly, at the server level: one that asks its clients to go, one that
// dies under them, and ones that hang while a client lets go of them.
#include "ServerTestSupport.h"

#include "servers/test/TestServerControl.h"
#include "servers/test/TestServers.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

namespace {

using namespace servertest;
using servers::test::Fault;
using servers::test::journalOf;
using servers::test::kServerUnavailable;

bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A call on a thread of its own; going out of scope ends the hangs until it has answered, so a
// failed test never waits out a hang.
template <class R>
class Background {
public:
    explicit Background(std::function<R()> call) : _future(std::async(std::launch::async, std::move(call))) {}
    ~Background()
    {
        while (_future.valid() && _future.wait_for(10ms) != std::future_status::ready) servers::test::endHangs();
    }
    bool answered(std::chrono::steady_clock::duration wait = 0s) { return _future.wait_for(wait) == std::future_status::ready; }
    R get() { return _future.get(); }

private:
    std::future<R> _future;
};

class EndingServers : public testing::Test {
protected:
    // Every wait of these servers lasts longer than any test run: only the test ends it.
    void SetUp() override { setUserDword(servers::test::kHangKey, servers::test::kHangValue, 3600 * 1000); }
    // A hang that a failed test leaves to the fixture's end lasts the default time.
    void TearDown() override
    {
        deleteUserValue(servers::test::kHangKey, servers::test::kHangValue);
        servers::test::endHangs();
    }
    void make(Fault fault) { ASSERT_EQ(create(servers::test::clsidOf(fault), _server), S_OK); }
    // A group with item a at the fastest rate, advised to _data.
    void subscribe()
    {
        ASSERT_EQ(addGroup(_server.get(), OLESTR("G"), 10, _group), S_OK);
        ASSERT_EQ(addItem(_group.get(), OLESTR("a"), 1), S_OK);
        ASSERT_EQ(_group.as(_dataObject), S_OK);
        FORMATETC f = streamFormat();
        ASSERT_EQ(_dataObject->DAdvise(&f, 0, _data.get(), &_connection), S_OK);
        ASSERT_TRUE(_data->waitFor(1));
    }
    ComPtr<IConnectionPoint> shutdownPoint()
    {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(_server.as(container), S_OK);
        if (container) {
            EXPECT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);
        }
        return point;
    }
    HRESULT status()
    {
        OPCSERVERSTATUS* s = reinterpret_cast<OPCSERVERSTATUS*>(1);
        const HRESULT hr = _server->GetStatus(&s);
        if (FAILED(hr)) {
            EXPECT_EQ(s, nullptr) << "out pointers are cleared, as a proxy clears them";
            return hr;
        }
        CoTaskMemFree(s->szVendorInfo);
        CoTaskMemFree(s);
        return hr;
    }

    ComPtr<IOPCServer> _server;
    ComPtr<RecordingSink> _data = makeSink<RecordingSink>();
    ComPtr<IOPCItemMgt> _group;
    ComPtr<IDataObject> _dataObject;
    DWORD _connection = 0;
};

TEST_F(EndingServers, ShutdownRequestFollowsTheFirstAdviseOnce)
{
    make(Fault::ShutdownRequest);
    ComPtr<IConnectionPoint> point = shutdownPoint();
    auto a = makeSink<ShutdownSink>();
    auto b = makeSink<ShutdownSink>();
    const servers::test::Journal before = journalOf(Fault::ShutdownRequest);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(a.get(), &cookie), S_OK);
    ASSERT_EQ(point->Advise(b.get(), &cookie), S_OK);
    EXPECT_EQ(journalOf(Fault::ShutdownRequest).hangsStarted, before.hangsStarted + 1) << "one wait";
    servers::test::endHangs();
    ASSERT_TRUE(b->waitFor(1));
    ASSERT_TRUE(eventually([&] { return journalOf(Fault::ShutdownRequest).shutdownNotices == before.shutdownNotices + 2; }));
    EXPECT_EQ(a->reasons(), std::vector<platform::WideString>{servers::test::kShutdownReason});
    EXPECT_EQ(u8(b->reasons().at(0)), "Сервер остановлен оператором");
    EXPECT_EQ(status(), S_OK) << "the server serves on";
    point.reset();
    _server.reset();
    EXPECT_EQ(a->refCount(), 1);
    EXPECT_EQ(a->reasons().size(), 1u);
}

TEST_F(EndingServers, ShutdownRequestServerGoesWithoutWaitingForItsNotice)
{
    make(Fault::ShutdownRequest);
    ComPtr<IConnectionPoint> point = shutdownPoint();
    auto sink = makeSink<ShutdownSink>();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.get(), &cookie), S_OK);
    Background<int> release([&] {
        point.reset();
        _server.reset();
        return 0;
    });
    EXPECT_TRUE(release.answered(kDeadline)) << "the last Release waited for the notice";
    EXPECT_EQ(sink->refCount(), 1);
    EXPECT_TRUE(sink->reasons().empty());
}

TEST_F(EndingServers, ShutdownRequestSinkMayReleaseTheServerOnTheNoticeThread)
{
    make(Fault::ShutdownRequest);
    ComPtr<IConnectionPoint> point = shutdownPoint();
    _server.reset();
    auto sink = makeSink<ShutdownSink>();
    std::atomic<IConnectionPoint*> last{nullptr};
    sink->onCall = [&] {
        if (IConnectionPoint* p = last.exchange(nullptr)) p->Release();
    };
    const std::uint32_t notices = journalOf(Fault::ShutdownRequest).shutdownNotices;
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.get(), &cookie), S_OK);
    last.store(point.detach());  // the sink's now, and the last reference to the server
    servers::test::endHangs();
    ASSERT_TRUE(eventually([&] { return journalOf(Fault::ShutdownRequest).shutdownNotices == notices + 1; }));
    EXPECT_EQ(last.load(), nullptr);
    EXPECT_EQ(sink->refCount(), 1) << "the server went, and let go of the sink";
}

TEST_F(EndingServers, GoneDiesAHangAfterItsFirstStatus)
{
    EXPECT_EQ(kServerUnavailable, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
    make(Fault::Gone);
    subscribe();
    auto notice = makeSink<ShutdownSink>();
    {
        ComPtr<IOPCBrowseServerAddressSpace> browse;
        ASSERT_EQ(_server.as(browse), S_OK);
        ComPtr<IEnumString> names;
        ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_LEAF, OLESTR(""), VT_EMPTY, 0, names.put()), S_OK);
        ComPtr<IConnectionPoint> point = shutdownPoint();
        DWORD cookie = 0;
        ASSERT_EQ(point->Advise(notice.get(), &cookie), S_OK);
        ComPtr<IOPCBrowse> da3;
        ASSERT_EQ(_server.as(da3), S_OK);
        ComPtr<IConnectionPointContainer> groupPoints;
        ASSERT_EQ(_group.as(groupPoints), S_OK);
        ComPtr<IConnectionPoint> callbackPoint;
        ASSERT_EQ(groupPoints->FindConnectionPoint(IID_IOPCDataCallback, callbackPoint.put()), S_OK);
        EXPECT_EQ(status(), S_OK);
        EXPECT_EQ(status(), S_OK);
        servers::test::endHangs();

        EXPECT_EQ(status(), kServerUnavailable);
        ComPtr<IOPCItemMgt> another;
        EXPECT_EQ(addGroup(_server.get(), OLESTR("H"), 100, another), kServerUnavailable);
        EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("X")), kServerUnavailable);
        LPOLESTR name = nullptr;
        EXPECT_EQ(names->Next(1, &name, nullptr), kServerUnavailable);
        ComPtr<IOPCCommon> common;
        ASSERT_EQ(_server.as(common), S_OK) << "QueryInterface works on";
        EXPECT_EQ(common->SetClientName(OLESTR("c")), kServerUnavailable);
        EXPECT_EQ(point->Unadvise(cookie), kServerUnavailable);
        EXPECT_EQ(addItem(_group.get(), OLESTR("b"), 2), kServerUnavailable);
        ComPtr<IOPCGroupStateMgt> state;
        ASSERT_EQ(_group.as(state), S_OK);
        EXPECT_EQ(state->SetName(OLESTR("N")), kServerUnavailable);
        EXPECT_EQ(_dataObject->DUnadvise(_connection), kServerUnavailable);
        // The newer interfaces too; the continuation point given is freed all the same.
        LPWSTR continuation = static_cast<LPWSTR>(CoTaskMemAlloc(4 * sizeof(WCHAR)));
        std::copy_n(OLESTR("b0."), 4, continuation);
        BOOL more = TRUE;
        DWORD count = 3;
        OPCBROWSEELEMENT* elements = nullptr;
        EXPECT_EQ(da3->Browse(nullptr, &continuation, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, FALSE, FALSE, 0, nullptr,
                              &more, &count, &elements),
                  kServerUnavailable);
        EXPECT_EQ(continuation, nullptr);
        EXPECT_EQ(count, 0u);
        auto callbacks = makeSink<CallbackSink>();
        DWORD callbackCookie = 9;
        EXPECT_EQ(callbackPoint->Advise(callbacks.get(), &callbackCookie), kServerUnavailable);
        EXPECT_EQ(callbackCookie, 0u);
        EXPECT_EQ(groupPoints->FindConnectionPoint(IID_IOPCDataCallback, callbackPoint.put()), kServerUnavailable);

        // Its update thread sends nothing more: once a block is withheld, every later one is.
        const std::uint64_t withheld = journalOf(Fault::Gone).blocksWithheld;
        ASSERT_TRUE(eventually([&] { return journalOf(Fault::Gone).blocksWithheld > withheld; }));
        const std::size_t received = _data->callCount();
        ASSERT_TRUE(eventually([&] { return journalOf(Fault::Gone).blocksWithheld > withheld + 2; }));
        EXPECT_EQ(_data->callCount(), received);
    }

    // Releasing the proxies of a dead server works, and lets the sinks go.
    _dataObject.reset();
    _group.reset();
    _server.reset();
    EXPECT_EQ(_data->refCount(), 1);
    EXPECT_EQ(notice->refCount(), 1);
}

TEST_F(EndingServers, HangUnadviseHangsWhileValuesFlowThenUnadvises)
{
    make(Fault::HangUnadvise);
    subscribe();
    const std::uint32_t hangs = journalOf(Fault::HangUnadvise).hangsStarted;
    Background<HRESULT> unadvise([&] { return _dataObject->DUnadvise(_connection); });
    ASSERT_TRUE(eventually([&] { return journalOf(Fault::HangUnadvise).hangsStarted == hangs + 1; }));
    ASSERT_TRUE(_data->waitFor(_data->callCount() + 1));
    EXPECT_FALSE(unadvise.answered());
    servers::test::endHangs();
    ASSERT_TRUE(unadvise.answered(kDeadline));
    EXPECT_EQ(unadvise.get(), S_OK);
    EXPECT_EQ(_data->refCount(), 1) << "the sink was let go when DUnadvise answered";
}

TEST_F(EndingServers, HangReleaseHangsInTheLastReleaseOnly)
{
    make(Fault::HangRelease);
    subscribe();
    _dataObject.reset();
    _group.reset();
    _server->AddRef();
    EXPECT_EQ(_server->Release(), 1u) << "a Release that is not the last answers at once";
    const std::uint32_t hangs = journalOf(Fault::HangRelease).hangsStarted;
    Background<ULONG> release([raw = _server.detach()] { return raw->Release(); });
    ASSERT_TRUE(eventually([&] { return journalOf(Fault::HangRelease).hangsStarted == hangs + 1; }));
    ASSERT_TRUE(_data->waitFor(_data->callCount() + 1)) << "the object lives on while its Release hangs";
    EXPECT_FALSE(release.answered());
    servers::test::endHangs();
    ASSERT_TRUE(release.answered(kDeadline));
    EXPECT_EQ(release.get(), 0u);
    EXPECT_EQ(_data->refCount(), 1) << "the object went, and its group let the sink go";
}

} // namespace
