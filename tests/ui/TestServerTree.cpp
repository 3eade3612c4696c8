// The server tree and the item table: connecting by expansion and by the action, the status
// nodes, the enabled states of Connect and Disconnect, failed connects and reconnects, and what
// the table shows.
#include "UiTestSupport.h"

#include "client/OPC_Connection.h"

#include <QAction>

#include <thread>

using namespace uitest;
using servers::test::Fault;

namespace {

const QString kConnecting = QString::fromUtf8("Подключение к OPC-серверу...");
const QString kDisconnecting = QString::fromUtf8("Отключение от OPC-сервера...");

QTreeWidgetItem* serverNode(TMainForm& window, Fault fault)
{
    return nodeAt(window.tree(), {"(local)", servers::test::progIdOf(fault)});
}

} // namespace

class TestServerTree : public QObject {
    Q_OBJECT
private slots:
    void connectByExpansion();
    void connectAndDisconnectByTheActions();
    void enabledStatesOnEachKindOfNode();
    void nothingSelectedKeepsConnectAndDisablesDisconnect();
    void failedConnectShowsTheErrorAndExpandingReconnects();
    void failureAfterTheAddressSpaceKeepsTheTreeWithTheError();
    void serverThatGoesShowsItsErrorAndItsRowsGo();
    void serverWithItemsButNoBranches();
    void selectionDecidesWhatTheTableShows();
    void valuesChangeOnlyTheirOwnRowsTexts();
    void everyServerNotificationRefillsTheTable();
    void burstsEndAtTheirLastValueShownOrNot();
};

void TestServerTree::connectByExpansion()
{
    TestEnvironment environment({Fault::None});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = serverNode(window, Fault::None);
    QVERIFY(server);

    window.tree()->expandItem(server);  // what a click on its button does
    QTreeWidgetItem* status = statusChild(server);
    QVERIFY(status);
    QCOMPARE(status->text(0), kConnecting);
    QCOMPARE(TMainForm::imageOf(status), -1);
    QCOMPARE(TMainForm::imageOf(server), 0);

    QVERIFY(waitFor([&] { return TMainForm::imageOf(server) == 1; }));
    QVERIFY(connectionOf(server)->connected());
    QCOMPARE(TMainForm::selectedImageOf(server), 1);
    QCOMPARE(childCaptions(server), QStringList{"X"});
    QTreeWidgetItem* x = server->child(0);
    QCOMPARE(TMainForm::kindOf(x), TMainForm::NodeKind::Branch);
    QCOMPARE(TMainForm::imageOf(x), 2);
    QCOMPARE(TMainForm::selectedImageOf(x), 3);
    QCOMPARE(childCaptions(x), QStringList{"Y"});
    QVERIFY(server->isExpanded());
    QCOMPARE(server->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);

    // The table shows the server's root items with their texts.
    ItemTableModel* model = window.tableModel();
    QCOMPARE(tableColumn(model, ItemTableModel::Name), (QStringList{"a", "b"}));
    // The first values follow the subscription.
    QVERIFY(waitFor([&] { return tableColumn(model, ItemTableModel::Type) == QStringList{"VT_I4", "VT_BSTR"}; }));
    QVERIFY(waitFor([&] { return model->index(1, ItemTableModel::Value).data().toString() == "Tagvista"; }));
    QVERIFY(!model->index(0, ItemTableModel::Name).data(Qt::DecorationRole).value<QIcon>().isNull());
}

void TestServerTree::connectAndDisconnectByTheActions()
{
    TestEnvironment environment({Fault::HangStatus});
    environment.setHangMilliseconds(400);
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = serverNode(window, Fault::HangStatus);
    OPC_Connection* connection = connectionOf(server);

    select(window, server);
    window.updateActions();
    QVERIFY(window.connectAction()->isEnabled());
    QVERIFY(!window.disconnectAction()->isEnabled());

    trigger(window, window.connectAction());
    QVERIFY(connection->busy());
    QCOMPARE(statusChild(server)->text(0), kConnecting);
    window.updateActions();
    QVERIFY(!window.connectAction()->isEnabled());
    QVERIFY(!window.disconnectAction()->isEnabled());

    QVERIFY(waitFor([&] { return connection->connected(); }));
    window.updateActions();
    QVERIFY(!window.connectAction()->isEnabled());
    QVERIFY(window.disconnectAction()->isEnabled());
    QCOMPARE(window.tableModel()->rowCount(), 2);

    trigger(window, window.disconnectAction());
    QVERIFY(connection->busy());
    // The branches stay while the disconnect runs, under the status node; the rows go at once.
    QCOMPARE(childCaptions(server), (QStringList{kDisconnecting, "X"}));
    QCOMPARE(TMainForm::imageOf(server), 1);
    QCOMPARE(window.tableModel()->rowCount(), 0);

    QVERIFY(waitFor([&] { return connection->idle(); }));
    QCOMPARE(TMainForm::imageOf(server), 0);
    QCOMPARE(server->childCount(), 0);
    QCOMPARE(server->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    QCOMPARE(window.tableModel()->rowCount(), 0);
    window.updateActions();
    QVERIFY(window.connectAction()->isEnabled());
    QVERIFY(!window.disconnectAction()->isEnabled());
}

void TestServerTree::enabledStatesOnEachKindOfNode()
{
    TestEnvironment environment({Fault::None, Fault::FactoryFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QAction* connect = window.connectAction();
    QAction* disconnect = window.disconnectAction();

    // The local host, listed: neither.
    select(window, listed.local);
    window.updateActions();
    QVERIFY(!connect->isEnabled());
    QVERIFY(!disconnect->isEnabled());

    QTreeWidgetItem* good = serverNode(window, Fault::None);
    QVERIFY(connectAndWait(window, good));
    for (QTreeWidgetItem* branch : {nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good", "X"}),
                                    nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good", "X", "Y"})}) {
        QVERIFY(branch);
        select(window, branch);
        window.updateActions();
        QVERIFY(!connect->isEnabled());
        QVERIFY(!disconnect->isEnabled());
    }

    // A status node (here the error of a failed connect): neither.
    QTreeWidgetItem* failing = serverNode(window, Fault::FactoryFails);
    window.tree()->expandItem(failing);
    QVERIFY(waitFor([&] { return statusChild(failing) && TMainForm::imageOf(statusChild(failing)) == 7; }));
    select(window, statusChild(failing));
    window.updateActions();
    QVERIFY(!connect->isEnabled());
    QVERIFY(!disconnect->isEnabled());
    // Choosing them there changes nothing.
    connect->trigger();
    disconnect->trigger();
    QCOMPARE(TMainForm::imageOf(statusChild(failing)), 7);
    QVERIFY(connectionOf(failing)->idle());
}

void TestServerTree::nothingSelectedKeepsConnectAndDisablesDisconnect()
{
    TestEnvironment environment({Fault::None, Fault::StatusFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* idle = serverNode(window, Fault::StatusFails);
    QTreeWidgetItem* connected = serverNode(window, Fault::None);
    QVERIFY(connectAndWait(window, connected));

    select(window, connected);
    window.updateActions();
    QVERIFY(!window.connectAction()->isEnabled());
    select(window, nullptr);
    QCOMPARE(window.tree()->currentItem(), nullptr);
    window.updateActions();
    QVERIFY(!window.connectAction()->isEnabled());
    QVERIFY(!window.disconnectAction()->isEnabled());

    select(window, idle);
    window.updateActions();
    QVERIFY(window.connectAction()->isEnabled());
    select(window, nullptr);
    window.updateActions();
    QVERIFY(window.connectAction()->isEnabled());  // as it was
    QVERIFY(!window.disconnectAction()->isEnabled());
    // Enabled, but with nothing selected it does nothing.
    window.connectAction()->trigger();
    QVERIFY(connectionOf(idle)->idle());
    QCOMPARE(idle->childCount(), 0);
    QCOMPARE(window.tableModel()->rowCount(), 0);
}

void TestServerTree::failedConnectShowsTheErrorAndExpandingReconnects()
{
    TestEnvironment environment({Fault::FactoryFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = serverNode(window, Fault::FactoryFails);
    OPC_Connection* connection = connectionOf(server);

    window.tree()->expandItem(server);
    QVERIFY(waitFor([&] { return connection->idle() && statusChild(server) &&
                                 TMainForm::imageOf(statusChild(server)) == 7; }));
    QCOMPARE(TMainForm::imageOf(server), 0);
    QCOMPARE(server->childCount(), 1);
    QCOMPARE(server->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    QVERIFY(!connection->lastError().empty());
    QCOMPARE(statusChild(server)->text(0), QString::fromStdString(connection->lastError()));

    // No reconnection by itself; expanding again starts a new connect, in the same status node.
    window.tree()->collapseItem(server);
    QTest::qWait(50);
    QVERIFY(connection->idle());
    QTreeWidgetItem* status = statusChild(server);
    window.tree()->expandItem(server);
    QCOMPARE(server->childCount(), 1);
    QCOMPARE(statusChild(server), status);
    QCOMPARE(status->text(0), kConnecting);
    QCOMPARE(TMainForm::imageOf(status), -1);
    QVERIFY(waitFor([&] { return connection->idle() && TMainForm::imageOf(statusChild(server)) == 7; }));

    // Connect on the server node does the same.
    select(window, server);
    trigger(window, window.connectAction());
    QCOMPARE(statusChild(server)->text(0), kConnecting);
    QVERIFY(waitFor([&] { return connection->idle() && TMainForm::imageOf(statusChild(server)) == 7; }));
}

void TestServerTree::failureAfterTheAddressSpaceKeepsTheTreeWithTheError()
{
    TestEnvironment environment({Fault::AdviseFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = serverNode(window, Fault::AdviseFails);
    OPC_Connection* connection = connectionOf(server);

    window.tree()->expandItem(server);
    QVERIFY(waitFor([&] { return !connection->busy() && TMainForm::imageOf(server) == 1; }));
    QVERIFY(!connection->lastError().empty());
    // Connected with its branches, the error status first.
    QCOMPARE(childCaptions(server), (QStringList{QString::fromStdString(connection->lastError()), "X"}));
    QCOMPARE(TMainForm::imageOf(server->child(0)), 7);
    QCOMPARE(tableColumn(window.tableModel(), ItemTableModel::Name), (QStringList{"a", "b"}));
}

void TestServerTree::serverThatGoesShowsItsErrorAndItsRowsGo()
{
    // Connected and showing values, then the server fails as a dead process does: the status
    // check ends the connection, the node shows why, and no row of it stays as if live.
    TestEnvironment environment({Fault::Gone});
    environment.setHangMilliseconds(400);
    const OPC_Connection::Timing saved = OPC_Connection::defaultTiming();
    OPC_Connection::setDefaultTiming({std::chrono::seconds(5), std::chrono::seconds(2), std::chrono::milliseconds(100)});
    ListedWindow listed = openListedWindow();
    OPC_Connection::setDefaultTiming(saved);
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = serverNode(window, Fault::Gone);
    OPC_Connection* connection = connectionOf(server);
    QVERIFY(connectAndWait(window, server));
    select(window, server);
    QVERIFY(window.tableModel()->rowCount() > 0);

    QVERIFY(waitFor([&] { return connection->idle() && statusChild(server) && TMainForm::imageOf(statusChild(server)) == 7; }));
    QVERIFY(connection->lastError().find("Tagvista.Test.Gone: GetStatus() Failed: ") != std::string::npos);
    QCOMPARE(statusChild(server)->text(0), QString::fromStdString(connection->lastError()));
    QCOMPARE(TMainForm::imageOf(server), 0);
    QCOMPARE(window.tableModel()->rowCount(), 0);
}

void TestServerTree::serverWithItemsButNoBranches()
{
    TestEnvironment environment({Fault::BranchBrowseFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = serverNode(window, Fault::BranchBrowseFails);
    QVERIFY(connectAndWait(window, server));
    QCOMPARE(TMainForm::imageOf(server), 1);
    QCOMPARE(server->childCount(), 0);
    QCOMPARE(server->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
    QCOMPARE(tableColumn(window.tableModel(), ItemTableModel::Name), (QStringList{"a", "b"}));
}

void TestServerTree::selectionDecidesWhatTheTableShows()
{
    TestEnvironment environment({Fault::None, Fault::FactoryFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = serverNode(window, Fault::None);
    QVERIFY(connectAndWait(window, server));
    ItemTableModel* model = window.tableModel();

    select(window, listed.local);
    QCOMPARE(model->rowCount(), 0);
    select(window, server);
    QCOMPARE(tableColumn(model, ItemTableModel::Name), (QStringList{"a", "b"}));
    select(window, nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good", "X"}));
    QCOMPARE(tableColumn(model, ItemTableModel::Name), (QStringList{"x1", "x2"}));
    QVERIFY(waitFor([&] { return tableColumn(model, ItemTableModel::Type) == QStringList{"VT_R8", "VT_BSTR"}; }));
    select(window, nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good", "X", "Y"}));
    QCOMPARE(tableColumn(model, ItemTableModel::Name), QStringList{"y1"});
    QVERIFY(waitFor([&] { return model->index(0, ItemTableModel::Value).data().toString() == "42"; }));

    QTreeWidgetItem* failing = serverNode(window, Fault::FactoryFails);
    window.tree()->expandItem(failing);
    QVERIFY(waitFor([&] { return statusChild(failing) && TMainForm::imageOf(statusChild(failing)) == 7; }));
    select(window, server);
    QCOMPARE(model->rowCount(), 2);
    select(window, statusChild(failing));
    QCOMPARE(model->rowCount(), 0);
}

void TestServerTree::valuesChangeOnlyTheirOwnRowsTexts()
{
    TestEnvironment environment({Fault::None});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = serverNode(window, Fault::None);
    QVERIFY(connectAndWait(window, server));
    select(window, server);
    ItemTableModel* model = window.tableModel();

    // "a" counts up; "b" never changes.
    QVERIFY(waitFor([&] { return !model->index(0, ItemTableModel::Value).data().toString().isEmpty(); }));
    const QString first = model->index(0, ItemTableModel::Value).data().toString();
    const QString bValue = model->index(1, ItemTableModel::Value).data().toString();
    const QString bTime = model->index(1, ItemTableModel::Time).data().toString();
    QVERIFY(waitFor([&] { return model->index(0, ItemTableModel::Value).data().toString() != first; }));
    QCOMPARE(model->index(0, ItemTableModel::Name).data().toString(), QStringLiteral("a"));
    QCOMPARE(model->index(0, ItemTableModel::Type).data().toString(), QStringLiteral("VT_I4"));
    QCOMPARE(model->index(0, ItemTableModel::Quality).data().toString(), QStringLiteral("GOOD"));
    QCOMPARE(model->index(1, ItemTableModel::Value).data().toString(), bValue);
    QCOMPARE(model->index(1, ItemTableModel::Time).data().toString(), bTime);
    QCOMPARE(model->rowCount(), 2);

    // With branch X shown, "a" keeps notifying but finds no row.
    select(window, nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good", "X"}));
    const std::uint64_t before = window.valueNotifications();
    QVERIFY(waitFor([&] { return window.valueNotifications() > before + 10; }));
    QCOMPARE(tableColumn(model, ItemTableModel::Name), (QStringList{"x1", "x2"}));
}

void TestServerTree::everyServerNotificationRefillsTheTable()
{
    TestEnvironment environment({Fault::None, Fault::StatusFails});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* good = serverNode(window, Fault::None);
    QVERIFY(connectAndWait(window, good));
    QTreeWidgetItem* x = nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good", "X"});
    select(window, x);
    QCOMPARE(tableColumn(window.tableModel(), ItemTableModel::Name), (QStringList{"x1", "x2"}));

    // The other server's connect ends with its root items in the table, X still selected.
    QTreeWidgetItem* other = serverNode(window, Fault::StatusFails);
    window.tree()->expandItem(other);
    QVERIFY(waitFor([&] { return connectionOf(other)->connected(); }));
    QCOMPARE(window.tree()->currentItem(), x);
    QCOMPARE(window.shownConnection(), connectionOf(other));
    QCOMPARE(tableColumn(window.tableModel(), ItemTableModel::Name), (QStringList{"a", "b"}));

    // Its disconnect, run to its end, leaves the table empty, X still selected.
    window.disconnectServer(connectionOf(other), other);
    QVERIFY(waitFor([&] { return connectionOf(other)->idle(); }));
    QCOMPARE(window.tree()->currentItem(), x);
    QCOMPARE(window.tableModel()->rowCount(), 0);
    QCOMPARE(window.shownConnection(), nullptr);
}

UI_TEST_CLASS(TestServerTree);
#include "TestServerTree.moc"

void TestServerTree::burstsEndAtTheirLastValueShownOrNot()
{
    // Changes far faster than the window reads them, as a server's burst would bring: y1 (shown)
    // and b (not shown) each take 20,000 values from threads of their own while the window runs.
    // Whatever was superseded, each row ends showing its item's last value.
    TestEnvironment environment({Fault::None});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QTreeWidgetItem* server = serverNode(window, Fault::None);
    QVERIFY(connectAndWait(window, server));
    select(window, nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good", "X", "Y"}));
    ItemTableModel* model = window.tableModel();
    QVERIFY(waitFor([&] { return model->index(0, ItemTableModel::Value).data().toString() == "42"; }));
    // The rows were read when the branch was shown, which asks for each item's next change even
    // while its first notification may still be queued: the burst starts once that one is handled,
    // so that what waits then is one notification per item.
    QVERIFY(waitFor([] { return platform::Dispatcher::instance().postedCount() == 0; }));
    OPC_Connection* connection = connectionOf(server);
    OPC_Item* y1 = nullptr;
    OPC_Item* b = nullptr;
    for (OPC_Item* item : connection->items()) {
        if (item->path() == "X/Y/y1") y1 = item;
        if (item->path() == "b") b = item;
    }
    QVERIFY(y1 && b);

    constexpr LONG kLast = 20000;
    std::atomic<std::size_t> mostWaiting{0};
    auto burst = [&](OPC_Item* item, LONG offset) {
        platform::Variant value;
        value->vt = VT_I4;
        const FILETIME time{0, 0x01DB0000};
        for (LONG v = 1; v <= kLast; ++v) {
            value->lVal = offset + v;
            item->setValue(value.get(), 0xC0, &time);
            const std::size_t waiting = platform::Dispatcher::instance().postedCount();
            if (waiting > mostWaiting) mostWaiting = waiting;
        }
    };
    std::thread first([&] { burst(y1, 0); });
    std::thread second([&] { burst(b, 100000); });
    QVERIFY(waitFor([&] { return model->index(0, ItemTableModel::Value).data().toString().toLong() > 0; }));
    first.join();
    second.join();
    QVERIFY(waitFor([&] { return model->index(0, ItemTableModel::Value).data().toString() == QString::number(kLast); }));
    QCOMPARE(model->index(0, ItemTableModel::Type).data().toString(), QStringLiteral("VT_I4"));
    // The server's own values of the other items may wait too, one for each item at most.
    QVERIFY(mostWaiting.load() <= connection->items().size());
    select(window, server);
    QCOMPARE(tableColumn(model, ItemTableModel::Name), (QStringList{"a", "b"}));
    QCOMPARE(model->index(1, ItemTableModel::Value).data().toString(), QString::number(100000 + kLast));
}
