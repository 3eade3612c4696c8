// The engine against the test servers in tagvista-testserver.exe: calls that hang across the
// process boundary are given up at their deadlines while the rest of the program (and the same
// server process) goes on serving; a server that shuts down or whose calls fail as a dead one's
// do ends the connection with its reason; bad blocks and late callbacks from another process are
// read no further than their memory and reach nothing of a connection that has gone.
#include "EngineOutOfProcess.h"
#include "client/ErrorString.h"

namespace {

using namespace outofprocess;
using servers::test::Fault;

using MisbehavingServerProcess = TestServerProcessTest;

TEST_F(MisbehavingServerProcess, ConnectStepsThatHangAreGivenUpWhileTheProcessServesOthers)
{
    // Wine cannot cancel a call (its CoCancelCall is a stub), so each worker is left in its call
    // until the hang ends; on Windows the watchdog cancels the call first.
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
    // The process is started (about a second under Wine) before the deadlines count.
    ComPtr<IUnknown> holder;
    ASSERT_EQ(createLocal(servers::test::processClsidOf(Fault::None), holder), S_OK);
    std::vector<OPC_Connection*> connections;
    for (const Case& c : cases) {
        connections.push_back(makeTest(c.fault, {2s, 2s, 0ms}));
        connections.back()->connect();
    }
    for (std::size_t i = 0; i < connections.size(); ++i) {
        SCOPED_TRACE(cases[i].call);
        OPC_Connection* c = connections[i];
        ASSERT_TRUE(waitFor(WM_SERVER_READY, c));
        EXPECT_TRUE(c->idle());
        EXPECT_EQ(c->lastError(), prefix(cases[i].fault) + ": the server did not answer " + cases[i].call + " within 2 s");
        EXPECT_TRUE(c->items().empty());
    }

    // Five calls hang in the server process; a well-behaved server of the same process still
    // connects, streams and disconnects.
    OPC_Connection* good = makeTest(Fault::None, {30s, 10s, 0ms});
    ASSERT_TRUE(connectAndWait(good)) << good->lastError();
    EXPECT_EQ(good->items().size(), 5u);
    ASSERT_TRUE(allDelivered(good));
    EXPECT_TRUE(disconnectAndWait(good));
    EXPECT_EQ(good->lastError(), "");

    // The hangs end: the workers come back from their calls, release what they got, and no
    // connection hears of them again; the server process then ends.
    holder.reset();
    endServerHangs();
    ASSERT_TRUE(_window.pumpUntil([] { return platform::Worker::running() == 0; }, 30s));
    _window.pumpFor(100ms);
    for (OPC_Connection* c : connections) {
        EXPECT_EQ(_window.count(WM_SERVER_READY, c), 1);
        EXPECT_TRUE(c->idle());
    }
    EXPECT_TRUE(waitUntilNoServerProcess());
}

TEST_F(MisbehavingServerProcess, DisconnectStepsThatHangEndTheDisconnectAndTheCloseAtTheDeadline)
{
    setHang(60'000);
    struct Case {
        Fault fault;
        const char* call;
    };
    for (const Case& entry :
         {Case{Fault::HangUnadvise, "IDataObject::DUnadvise"}, Case{Fault::HangRelease, "IOPCServer::Release"}}) {
        SCOPED_TRACE(entry.call);
        OPC_Connection* c = makeTest(entry.fault, {30s, 1s, 0ms});
        ASSERT_TRUE(connectAndWait(c)) << c->lastError();
        const auto start = std::chrono::steady_clock::now();
        c->disconnect();
        ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, c));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_TRUE(c->idle());
        EXPECT_TRUE(c->items().empty());
        EXPECT_EQ(c->lastError(), prefix(entry.fault) + ": the server did not answer " + entry.call + " within 1 s");
    }

    // The close of the window: a connection destroyed while its server hangs in DUnadvise.
    OPC_Connection* c = makeTest(Fault::HangUnadvise, {30s, 1s, 0ms});
    ASSERT_TRUE(connectAndWait(c)) << c->lastError();
    const auto start = std::chrono::steady_clock::now();
    _connections.clear();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(MisbehavingServerProcess, ShutdownNoticeAndDeadServerEndTheConnectionWithTheirReasons)
{
    setHang(500);
    OPC_Connection* notice = makeTest(Fault::ShutdownRequest, {30s, 10s, 0ms});
    OPC_Connection* gone = makeTest(Fault::Gone, {30s, 5s, 200ms});
    ASSERT_TRUE(connectAndWait(notice)) << notice->lastError();
    ASSERT_TRUE(connectAndWait(gone)) << gone->lastError();
    ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, notice, 1, 15s));
    EXPECT_EQ(notice->lastError(), prefix(Fault::ShutdownRequest) + ": the server shut down: " +
                                       toNarrow(servers::test::kShutdownReason));
    ASSERT_TRUE(waitFor(WM_SERVER_DISCONNECTED, gone, 1, 15s));
    EXPECT_EQ(gone->lastError(), prefix(Fault::Gone) + ": GetStatus() Failed: " +
                                     ErrorString(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)).str());
    for (OPC_Connection* c : {notice, gone}) {
        EXPECT_TRUE(c->idle());
        EXPECT_TRUE(c->items().empty());
    }
}

TEST_F(MisbehavingServerProcess, BadBlocksAreReadNoFurtherThanTheirMemory)
{
    clienttest::LogCapture log(2);
    struct Case {
        Fault fault;
        std::string said;  // a line the block makes the client write
    };
    const Case cases[] = {
        {Fault::BlockShortMemory, prefix(Fault::BlockShortMemory) + ": DataCallback: 5 item headers announced, 4 fit"},
        {Fault::BlockCutString, "runs past the end of the block"},
        {Fault::BlockCountPastEnd, "item headers announced"},
        {Fault::BlockOffsetPastEnd, "runs past the end of the block"},
        {Fault::BlockUnknownHandles, "onItemNewValue: unknown item #1073741824"},
    };
    for (const Case& entry : cases) {
        SCOPED_TRACE(servers::test::processProgIdOf(entry.fault));
        OPC_Connection* c = makeTest(entry.fault, {30s, 10s, 0ms});
        ASSERT_TRUE(connectAndWait(c)) << c->lastError();
        EXPECT_TRUE(_window.pumpUntil([&] { return log.contains(entry.said); }, 15s)) << log.all();
        EXPECT_TRUE(disconnectAndWait(c));
        // A program on its way out refuses new objects (CO_E_SERVER_STOPPING), and Wine does not
        // start another one for the request: the next case waits for the end.
        ASSERT_TRUE(waitUntilNoServerProcess());
    }

    // A null memory handle and blocks of another format cross the boundary too: nothing is
    // taken from them, and nothing is logged.
    const long valuesBefore = _window.itemTotal();
    const std::size_t linesBefore = log.lines().size();
    for (Fault quiet : {Fault::BlockNullHandle, Fault::BlockOtherFormat}) {
        OPC_Connection* c = makeTest(quiet, {30s, 10s, 0ms});
        ASSERT_TRUE(connectAndWait(c)) << c->lastError();
        _window.pumpFor(500ms);
        EXPECT_TRUE(disconnectAndWait(c));
        ASSERT_TRUE(waitUntilNoServerProcess());
    }
    EXPECT_EQ(_window.itemTotal(), valuesBefore);
    EXPECT_EQ(log.lines().size(), linesBefore) << log.all();
}

TEST_F(MisbehavingServerProcess, CallbacksAfterTheClientLetGoReachNothing)
{
    // The server calls the sink on after DUnadvise, and three times more, with handles the client
    // never had, when the client removes the group; it holds the sink until then. None of those
    // calls may reach the connection: one that did would log its unknown items.
    clienttest::LogCapture log(2);
    OPC_Connection* c = makeTest(Fault::CallbacksAfterUnadvise, {30s, 10s, 0ms});
    ASSERT_TRUE(connectAndWait(c)) << c->lastError();
    ASSERT_TRUE(allDelivered(c));
    EXPECT_TRUE(disconnectAndWait(c));
    EXPECT_EQ(c->lastError(), "");
    _window.pumpFor(300ms);
    EXPECT_FALSE(log.contains("unknown item #100")) << log.all();

    // Connected again, the same connection streams as before.
    ASSERT_TRUE(connectAndWait(c)) << c->lastError();
    const long before = _window.itemTotal();
    EXPECT_TRUE(_window.pumpUntil([&] { return _window.itemTotal() > before; }));
    EXPECT_TRUE(disconnectAndWait(c));
}

} // namespace
