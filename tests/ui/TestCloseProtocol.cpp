// The close of the main window: refused while servers disconnect, counted down by their
// WM_SERVER_DISCONNECTED, and asked again by the last one.
#include "UiTestSupport.h"
#include "servers/test/TestServerControl.h"

using namespace uitest;
using servers::test::Fault;

namespace {

QTreeWidgetItem* serverNode(TMainForm& window, Fault fault)
{
    return nodeAt(window.tree(), {"(local)", servers::test::progIdOf(fault)});
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

class TestCloseProtocol : public QObject {
    Q_OBJECT
private slots:
    void closesAtOnceWithNothingConnected();
    void closeWaitsForTwoConnectedServers();
    void closeWhileOneServerIsStillConnecting();
    void closeWhileAConnectFailsBeforeTheServerExists();
    void secondCloseRequestCountsNothingNew();
    void aDisconnectWithoutACloseOnlyReportsZeroLeft();
    void closeIsNotHeldByAServerThatHangsInItsDisconnect();
};

void TestCloseProtocol::closesAtOnceWithNothingConnected()
{
    TestEnvironment environment({Fault::None});
    ListedWindow listed = openListedWindow();
    LogCapture log(environment.folder());
    QVERIFY(listed.window->close());
    QVERIFY(!listed.window->isVisible());
    QCOMPARE(listed.window->serversLeft(), 0);
    QVERIFY(!contains(log.text(), "Disconnecting OPC-server"));
}

void TestCloseProtocol::closeWaitsForTwoConnectedServers()
{
    TestEnvironment environment({Fault::None, Fault::StatusFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* good = serverNode(window, Fault::None);
    QTreeWidgetItem* other = serverNode(window, Fault::StatusFails);
    QVERIFY(connectAndWait(window, good));
    QVERIFY(connectAndWait(window, other));
    LogCapture log(environment.folder());

    QVERIFY(!window.close());
    QVERIFY(window.isVisible());
    QCOMPARE(window.serversLeft(), 2);
    QVERIFY(connectionOf(good)->busy());
    QVERIFY(connectionOf(other)->busy());

    QVERIFY(waitFor([&] { return !window.isVisible(); }));
    QCOMPARE(window.serversLeft(), 0);
    QVERIFY(connectionOf(good)->idle());
    QVERIFY(connectionOf(other)->idle());
    const std::string text = log.text();
    QVERIFY(contains(text, "Disconnecting OPC-server (local)|Tagvista.Test.Good"));
    QVERIFY(contains(text, "Disconnecting OPC-server (local)|Tagvista.Test.StatusFails"));
    QVERIFY(contains(text, "1 servers left"));  // after the first of the two
    QVERIFY(!contains(text, "0 servers left"));  // the second asked for the close instead
}

void TestCloseProtocol::closeWhileOneServerIsStillConnecting()
{
    TestEnvironment environment({Fault::None, Fault::HangCreate});
    environment.setHangMilliseconds(500);
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* good = serverNode(window, Fault::None);
    QTreeWidgetItem* slow = serverNode(window, Fault::HangCreate);
    QVERIFY(connectAndWait(window, good));
    window.tree()->expandItem(slow);
    QVERIFY(connectionOf(slow)->busy());

    QVERIFY(!window.close());
    QCOMPARE(window.serversLeft(), 2);
    QVERIFY(waitFor([&] { return !window.isVisible(); }));
    // The connect ran to its end and was followed by the disconnect the close asked for.
    QVERIFY(connectionOf(slow)->idle());
    QVERIFY(connectionOf(good)->idle());
}

void TestCloseProtocol::closeWhileAConnectFailsBeforeTheServerExists()
{
    TestEnvironment environment({Fault::FactoryFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* failing = serverNode(window, Fault::FactoryFails);
    window.tree()->expandItem(failing);
    QVERIFY(connectionOf(failing)->busy());

    QVERIFY(!window.close());
    QCOMPARE(window.serversLeft(), 1);
    // The failed connect leaves nothing to disconnect; its one WM_SERVER_DISCONNECTED lets the
    // window close.
    QVERIFY(waitFor([&] { return !window.isVisible(); }));
    QVERIFY(connectionOf(failing)->idle());
    QVERIFY(!connectionOf(failing)->lastError().empty());
}

void TestCloseProtocol::secondCloseRequestCountsNothingNew()
{
    TestEnvironment environment({Fault::None, Fault::StatusFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QVERIFY(connectAndWait(window, serverNode(window, Fault::None)));
    QVERIFY(connectAndWait(window, serverNode(window, Fault::StatusFails)));

    QVERIFY(!window.close());
    QCOMPARE(window.serversLeft(), 2);
    // Nothing has been handled in between: the same two disconnects are still running.
    QVERIFY(!window.close());
    QCOMPARE(window.serversLeft(), 2);
    QVERIFY(window.isVisible());
    QVERIFY(waitFor([&] { return !window.isVisible(); }));
    QCOMPARE(window.serversLeft(), 0);
}

void TestCloseProtocol::aDisconnectWithoutACloseOnlyReportsZeroLeft()
{
    TestEnvironment environment({Fault::None});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* good = serverNode(window, Fault::None);
    QVERIFY(connectAndWait(window, good));
    LogCapture log(environment.folder());
    select(window, good);
    trigger(window, window.disconnectAction());
    QVERIFY(waitFor([&] { return connectionOf(good)->idle(); }));
    QVERIFY(window.isVisible());
    QCOMPARE(window.serversLeft(), 0);
    QVERIFY(contains(log.text(), "0 servers left"));
}

void TestCloseProtocol::closeIsNotHeldByAServerThatHangsInItsDisconnect()
{
    // DUnadvise hangs far longer than the test waits; the close ends at the disconnect deadline.
    TestEnvironment environment({Fault::None, Fault::HangUnadvise});
    environment.setHangMilliseconds(600'000);
    const OPC_Connection::Timing saved = OPC_Connection::defaultTiming();
    OPC_Connection::setDefaultTiming({std::chrono::seconds(5), std::chrono::milliseconds(500), std::chrono::seconds(0)});
    ListedWindow listed = openListedWindow();
    OPC_Connection::setDefaultTiming(saved);
    TMainForm& window = *listed.window;
    QTreeWidgetItem* good = serverNode(window, Fault::None);
    QTreeWidgetItem* hanging = serverNode(window, Fault::HangUnadvise);
    QVERIFY(connectAndWait(window, good));
    QVERIFY(connectAndWait(window, hanging));

    QVERIFY(!window.close());
    QVERIFY(waitFor([&] { return !window.isVisible(); }, 10'000));
    QCOMPARE(window.serversLeft(), 0);
    QVERIFY(connectionOf(hanging)->idle());
    QVERIFY(contains(connectionOf(hanging)->lastError(), "did not answer IDataObject::DUnadvise within 0.5 s"));
    servers::test::endHangs();
}

UI_TEST_CLASS(TestCloseProtocol);
#include "TestCloseProtocol.moc"
