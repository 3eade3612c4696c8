// Records that outlive their display: disconnects, removals and closes while values stream in
// must never make the window read an item that a worker is destroying or has destroyed. Run it
// under the address sanitizer build to make a stray read fail loudly.
#include "UiTestSupport.h"

#include "platform/Dispatcher.h"
#include "servers/test/TestServerPaths.h"

#include <QAction>
#include <QTreeView>

#include <thread>

using namespace uitest;

namespace {

// A scale server that floods: by default 4 branches of 500 items, every item changing every 10 ms.
void configureFlood(TestEnvironment& environment, DWORD branches = 4, DWORD itemsPerBranch = 500)
{
    const char* key = "Software\\Tagvista\\Scale";
    environment.setDword(key, "Branches", branches);
    environment.setDword(key, "ItemsPerBranch", itemsPerBranch);
    environment.setDword(key, "Depth", 1);
    environment.setDword(key, "UpdateRate", 10);
    environment.setDword(key, "ChangingPercent", 100);
}

QTreeWidgetItem* scaleServer(TMainForm& window)
{
    return nodeAt(window.tree(), {"(local)", "Tagvista.Scale.1"});
}

// Waits until values stream into the rows shown, then, without handling anything, until more
// notifications are queued: what comes next happens with those still waiting. Only items whose
// rows are refreshed (those on screen) notify again, one notification each at most.
bool streaming(TMainForm& window)
{
    const std::uint64_t before = window.valueNotifications();
    if (!waitFor([&] { return window.valueNotifications() > before + 200; })) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (platform::Dispatcher::instance().postedCount() < 10) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

class TestRecordLifetime : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void disconnectWhileValuesStreamIn();
    void staleNotificationsAfterTheItemsAreDestroyed();
    void removeHostWhileValuesStreamIn();
    void closeWhileConnectingAndStreaming();
    void rowsKeepTheirTextsWhenTheConnectionIsBusy();
};

void TestRecordLifetime::initTestCase()
{
    TestEnvironment environment({}, true);
    QVERIFY2(std::filesystem::exists(std::string(servers::test::kShippedClassesDir) + "/tagvista-scale.reg"),
             "the scale server's registration is missing from the build tree");
}

void TestRecordLifetime::disconnectWhileValuesStreamIn()
{
    TestEnvironment environment({}, true);
    configureFlood(environment);
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = scaleServer(window);
    QVERIFY(server);
    OPC_Connection* connection = connectionOf(server);

    for (int round = 0; round < 3; ++round) {
        QVERIFY(connectAndWait(window, server));
        QTreeWidgetItem* branch = server->child(round % server->childCount());
        select(window, branch);
        QCOMPARE(window.tableModel()->rowCount(), 500);
        QVERIFY(streaming(window));

        // Disconnect with notifications for its items still queued, the branch still selected
        // (the menu's Disconnect would select the server node, whose root has no items).
        window.disconnectServer(connection, server);
        QVERIFY(connection->busy());
        QCOMPARE(window.tableModel()->rowCount(), 0);
        // A branch of the busy connection shows nothing, and painting reads no item.
        select(window, branch);
        QCOMPARE(window.tableModel()->rowCount(), 0);
        window.table()->viewport()->repaint();
        QVERIFY(waitFor([&] { return connection->idle(); }));
        QVERIFY(waitFor([&] { return platform::Dispatcher::instance().postedCount() == 0; }));
        QCOMPARE(window.tableModel()->rowCount(), 0);
    }
}

void TestRecordLifetime::staleNotificationsAfterTheItemsAreDestroyed()
{
    TestEnvironment environment({}, true);
    configureFlood(environment, 1, 100);  // every notification is for a row, most rows on screen
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    QTreeWidgetItem* server = scaleServer(window);
    OPC_Connection* connection = connectionOf(server);

    for (int round = 0; round < 3; ++round) {
        QVERIFY(connectAndWait(window, server));
        select(window, server->child(0));
        QVERIFY(streaming(window));
        window.disconnectServer(connection, server);
        // Some of the queued notifications are handled while the worker tears the session down
        // (a view refresh may be scheduled by them)...
        dispatcher.processPosted(100);
        // ...then the worker is let destroy the items and wait with its completion step, while
        // this thread handles nothing. What runs next on the event loop (a scheduled refresh, a
        // paint, the remaining notifications) comes after the items are gone, and must not read
        // them. If the teardown takes longer than this, the round proves less, never fails.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        window.table()->viewport()->repaint();
        QVERIFY(waitFor([&] { return connection->idle(); }));
        QVERIFY(waitFor([&] { return dispatcher.postedCount() == 0; }));
    }
}

void TestRecordLifetime::removeHostWhileValuesStreamIn()
{
    TestEnvironment environment({}, true);
    configureFlood(environment);
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    window.setAskHost([] { return std::optional<std::string>("localhost"); });
    window.setLookupHost([](const std::string&) { return std::optional<platform::IPv4Address>({127, 0, 0, 1}); });
    window.connectRemoteHostAction()->trigger();
    QTreeWidgetItem* host = window.tree()->topLevelItem(1);
    QVERIFY(waitFor([&] { return TMainForm::hostOf(host)->listed() && statusChild(host) == nullptr; }));
    QTreeWidgetItem* server = nodeAt(window.tree(), {"\\\\localhost (127.0.0.1)", "Tagvista.Scale.1"});
    QVERIFY(server);
    OPC_Connection* connection = connectionOf(server);
    QVERIFY(connectAndWait(window, server));
    select(window, server->child(0));
    QVERIFY(streaming(window));

    select(window, host);
    trigger(window, window.disconnectAction());
    QCOMPARE(window.tableModel()->rowCount(), 0);
    QVERIFY(waitFor([&] { return connection->idle(); }));
    QVERIFY(waitFor([&] { return platform::Dispatcher::instance().postedCount() == 0; }));
}

void TestRecordLifetime::closeWhileConnectingAndStreaming()
{
    TestEnvironment environment({}, true);
    configureFlood(environment);
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* streamingServer = scaleServer(window);
    QVERIFY(connectAndWait(window, streamingServer));
    select(window, streamingServer->child(0));
    QVERIFY(streaming(window));

    // A second connect is running when the close comes: it ends connected for a moment, its
    // WM_SERVER_READY shows its items, and the disconnect the close asked for follows at once.
    QTreeWidgetItem* other = nodeAt(window.tree(), {"(local)", "Tagvista.Scale"});
    window.tree()->expandItem(other);
    QVERIFY(!window.close());
    QCOMPARE(window.serversLeft(), 2);
    QVERIFY(waitFor([&] { return !window.isVisible(); }));
    QVERIFY(connectionOf(streamingServer)->idle());
    QVERIFY(connectionOf(other)->idle());
}

void TestRecordLifetime::rowsKeepTheirTextsWhenTheConnectionIsBusy()
{
    TestEnvironment environment({servers::test::Fault::HangAddItems});
    environment.setHangMilliseconds(400);
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = nodeAt(window.tree(), {"(local)", "Tagvista.Test.HangAddItems"});
    window.tree()->expandItem(server);
    // WM_SERVER_CONNECTED has shown the root items while the worker goes on (it hangs in
    // AddItems): the rows are there, the node has no children yet, and nothing reads the items.
    QVERIFY(waitFor([&] { return window.tableModel()->rowCount() == 2; }));
    QVERIFY(connectionOf(server)->busy());
    QCOMPARE(TMainForm::imageOf(server), 0);
    QCOMPARE(server->childCount(), 0);
    QCOMPARE(server->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    QCOMPARE(tableColumn(window.tableModel(), ItemTableModel::Name), (QStringList{"a", "b"}));
    QVERIFY(waitFor([&] { return connectionOf(server)->connected(); }));
    QCOMPARE(TMainForm::imageOf(server), 1);
}

UI_TEST_CLASS(TestRecordLifetime);
#include "TestRecordLifetime.moc"
