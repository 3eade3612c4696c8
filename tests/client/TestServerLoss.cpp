// Servers that stop answering, go, or shut down: every call has a deadline past which the
// connection goes idle with the server's name and the call in its error, the status watch ends a
// connection whose server has gone, and a shutdown notice ends it with the server's reason.
#include "ClientTestSupport.h"
#include "client/CallDeadlines.h"
#include "client/ErrorString.h"
#include "client/Host.h"
#include "client/OPC_Connection.h"
#include "servers/test/TestServerControl.h"
#include "servers/test/TestServers.h"

#include <gtest/gtest.h>

using namespace clienttest;
using servers::test::Fault;
using namespace std::chrono_literals;

namespace {

const std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};

class ServerLossTest : public ::testing::Test {
protected:
    ServerLossTest()
    {
        // Loads the test servers' library on this thread: several workers activating it first at
        // once is safe (the loader serialises it) but invisible to the thread sanitizer.
        servers::test::endHangs();
        _host = std::make_unique<Host>("(local)", kLoopback);
        EXPECT_TRUE(_window.pumpUntil([&] { return !_host->busy(); }));
    }
    ~ServerLossTest() override
    {
        // Hangs end, so that workers left in their calls come back and end too.
        servers::test::endHangs();
        _connections.clear();
        _window.pumpUntil([] { return platform::Worker::running() == 0 && deadlines::pendingCalls() == 0; }, 30s);
    }

    void setHang(DWORD milliseconds)
    {
        _registry.setUserDword(servers::test::kHangKey, servers::test::kHangValue, milliseconds);
    }
    OPC_Connection* make(Fault fault, OPC_Connection::Timing timing)
    {
        _connections.push_back(
            std::make_unique<OPC_Connection>(_host.get(), servers::test::clsidOf(fault), servers::test::progIdOf(fault)));
        _connections.back()->setTiming(timing);
        return _connections.back().get();
    }
    bool waitFor(UINT message, OPC_Connection* c, int count = 1, std::chrono::milliseconds limit = 20s)
    {
        return _window.pumpUntil([&] { return _window.count(message, c) >= count; }, limit);
    }
    std::string prefix(Fault fault) { return std::string("(local)|") + servers::test::progIdOf(fault); }

    Registry _registry;
    Window _window;
    LogCapture _log;
    std::unique_ptr<Host> _host;
    std::vector<std::unique_ptr<OPC_Connection>> _connections;
};

TEST_F(ServerLossTest, ConnectStepPastItsDeadlineEndsTheConnectIdle)
{
    // Each server hangs in another step of the connect; the connect gives it up at its deadline
    // and the connection is idle with the step named. In process nothing can cancel the call, so
    // its worker is left in it and, once the hang ends, leaves without a word to anyone.
    setHang(60'000);
    struct Case {
        Fault fault;
        const char* call;
    };
    const Case cases[] = {{Fault::HangCreate, "CoCreateInstanceEx"},
                          {Fault::HangStatus, "GetStatus"},
                          {Fault::HangBrowse, "BrowseOPCItemIDs(OPC_BRANCH)"},
                          {Fault::HangAddItems, "AddItems"},
                          {Fault::HangAdvise, "IDataObject::DAdvise"}};
    std::vector<OPC_Connection*> connections;
    for (const Case& c : cases) {
        connections.push_back(make(c.fault, {300ms, 300ms, 0ms}));
        connections.back()->connect();
    }
    for (std::size_t i = 0; i < connections.size(); ++i) {
        SCOPED_TRACE(cases[i].call);
        OPC_Connection* c = connections[i];
        ASSERT_TRUE(waitFor(WM_SERVER_READY, c));
        EXPECT_TRUE(c->idle());
        EXPECT_EQ(c->lastError(), prefix(cases[i].fault) + ": the server did not answer " + cases[i].call + " within 0.3 s");
        EXPECT_TRUE(c->items().empty());
        EXPECT_TRUE(c->branches().empty() && c->leaves().empty());
    }
    EXPECT_TRUE(_log.contains("the connect is given up"));

    // The hangs end: the workers come back from their calls and end, and no connection hears
    // of them again.
    servers::test::endHangs();
    ASSERT_TRUE(_window.pumpUntil([] { return platform::Worker::running() == 0; }, 20s));
    _window.pumpFor(50ms);
    for (OPC_Connection* c : connections) {
        EXPECT_EQ(_window.count(WM_SERVER_READY, c), 1);
        EXPECT_TRUE(c->idle());
    }
}

TEST_F(ServerLossTest, DisconnectAskedWhileTheConnectHangsEndsAtTheDeadline)
{
    setHang(60'000);
    OPC_Connection* c = make(Fault::HangStatus, {300ms, 300ms, 0ms});
    c->connect();
    c->disconnect();
    ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, c));
    EXPECT_TRUE(c->idle());
    EXPECT_EQ(_window.count(WM_SERVER_READY, c), 1);
    // The connection can be used again at once: a new connect runs while the old worker hangs.
    servers::test::endHangs();
    setHang(0);
    c->connect();
    ASSERT_TRUE(waitFor(WM_SERVER_READY, c, 2));
    EXPECT_TRUE(c->connected());
    EXPECT_EQ(c->lastError(), "");
    c->disconnect();
    ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, c, 2));
}

TEST_F(ServerLossTest, DisconnectStepPastItsDeadlineStillEndsTheDisconnect)
{
    setHang(60'000);
    struct Case {
        Fault fault;
        const char* call;
    };
    for (const Case& entry : {Case{Fault::HangUnadvise, "IDataObject::DUnadvise"}, Case{Fault::HangRelease, "IOPCServer::Release"}}) {
        SCOPED_TRACE(entry.call);
        OPC_Connection* c = make(entry.fault, {5s, 300ms, 0ms});
        c->connect();
        ASSERT_TRUE(waitFor(WM_SERVER_READY, c));
        ASSERT_TRUE(c->connected()) << c->lastError();
        const auto start = std::chrono::steady_clock::now();
        c->disconnect();
        ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, c));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        EXPECT_TRUE(c->idle());
        EXPECT_TRUE(c->items().empty());
        EXPECT_EQ(c->lastError(), prefix(entry.fault) + ": the server did not answer " + entry.call + " within 0.3 s");
    }
    EXPECT_TRUE(_log.contains("the disconnect is given up"));
}

TEST_F(ServerLossTest, ServerThatHasGoneEndsTheConnectionWithTheSystemsText)
{
    // The server answers at first, then fails every call as a dead process's proxies do: the
    // status check notices, the connection disconnects by itself without calling the server
    // again, and its error names the server and the system's text.
    setHang(300);
    OPC_Connection* c = make(Fault::Gone, {5s, 2s, 100ms});
    c->connect();
    ASSERT_TRUE(waitFor(WM_SERVER_READY, c));
    ASSERT_TRUE(c->connected()) << c->lastError();
    EXPECT_FALSE(c->items().empty());
    ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, c, 1, 10s));
    EXPECT_TRUE(c->idle());
    EXPECT_TRUE(c->items().empty());
    EXPECT_EQ(c->lastError(), prefix(Fault::Gone) + ": GetStatus() Failed: " +
                                  ErrorString(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)).str());
    EXPECT_TRUE(_log.contains(prefix(Fault::Gone) + ": GetStatus() Failed"));

    // A disconnect asked for later has nothing to do and changes no text.
    c->disconnect();
    _window.pumpFor(50ms);
    EXPECT_EQ(_window.count(WM_SERVER_DISCONNECTED, c), 1);
}

TEST_F(ServerLossTest, StatusCheckThatHangsEndsTheConnectionAndLeavesTheServerAlone)
{
    // Every GetStatus takes 600 ms: the connect's own (deadline 5 s) passes, the watch's
    // (deadline 300 ms) is given up and the server, stuck in it, is left unreleased.
    setHang(600);
    OPC_Connection* c = make(Fault::HangStatus, {5s, 300ms, 50ms});
    c->connect();
    ASSERT_TRUE(waitFor(WM_SERVER_READY, c));
    ASSERT_TRUE(c->connected()) << c->lastError();
    ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, c, 1, 10s));
    EXPECT_TRUE(c->idle());
    EXPECT_EQ(c->lastError(), prefix(Fault::HangStatus) + ": the server did not answer GetStatus within 0.3 s");
    EXPECT_TRUE(_log.contains("left behind"));
}

TEST_F(ServerLossTest, ShutdownNoticeEndsTheConnectionWithTheServersReason)
{
    setHang(200);
    OPC_Connection* c = make(Fault::ShutdownRequest, {5s, 2s, 0ms});
    c->connect();
    ASSERT_TRUE(waitFor(WM_SERVER_READY, c));
    ASSERT_TRUE(c->connected()) << c->lastError();
    ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, c, 1, 10s));
    EXPECT_TRUE(c->idle());
    EXPECT_EQ(c->lastError(),
              prefix(Fault::ShutdownRequest) + ": the server shut down: " + toNarrow(servers::test::kShutdownReason));

    // Connected again, a disconnect of its own ends without an error, and the notice that the
    // server may still send reaches nobody.
    c->connect();
    ASSERT_TRUE(waitFor(WM_SERVER_READY, c, 2));
    ASSERT_TRUE(c->connected());
    c->disconnect();
    ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, c, 2));
    EXPECT_EQ(c->lastError(), "");
    _window.pumpFor(400ms);
    EXPECT_EQ(_window.count(WM_SERVER_DISCONNECTED, c), 2);
}

TEST_F(ServerLossTest, DestroyingAConnectionWhoseServerHangsTakesNoLongerThanTheDeadline)
{
    setHang(60'000);
    OPC_Connection* c = make(Fault::HangUnadvise, {5s, 300ms, 0ms});
    c->connect();
    ASSERT_TRUE(waitFor(WM_SERVER_READY, c));
    ASSERT_TRUE(c->connected());
    const auto start = std::chrono::steady_clock::now();
    _connections.clear();  // the destructor disconnects and waits
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

} // namespace
