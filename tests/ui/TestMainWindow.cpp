// The main window's frame: its start state and first listing, the stored placement, the log file,
// and the dispatcher's drains on the event loop.
#include "UiTestSupport.h"

#include "DispatcherPump.h"
#include "UserSettings.h"
#include "client/Exception.h"
#include "client/Logger.h"
#include "client/WindowMessages.h"

#include <QHeaderView>
#include <QMenu>
#include <QSplitter>
#include <QTimer>

#include <fstream>
#include <thread>

using namespace uitest;
using servers::test::Fault;

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void startStateAndFirstListing();
    void designOfTheControls();
    void placementDefaultsWithoutStoredText();
    void placementRestoredFromStoredText_data();
    void placementRestoredFromStoredText();
    void placementOfAnotherTypeIsIgnored();
    void placementSavedWhenTheWindowGoes();
    void previousLogIsDeletedAtConstruction();
    void drainsYieldToTheEventLoop();
    void sentMessagesOfWorkersAreHandled();
    void handlerErrorsReachTheCallbackAndTheRestRuns();
};

void TestMainWindow::startStateAndFirstListing()
{
    TestEnvironment environment({Fault::StatusFails, Fault::None, Fault::AdviseFails});
    TMainForm window;
    window.show();
    QCOMPARE(window.windowTitle(), QStringLiteral("Tagvista"));
    QCOMPARE(window.objectName(), QStringLiteral("MainForm"));
    QCOMPARE(window.serversLeft(), 0);

    // Nothing has been drained yet: the listing's notification is still queued.
    QTreeWidget* tree = window.tree();
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* local = tree->topLevelItem(0);
    QCOMPARE(local->text(0), QStringLiteral("(local)"));
    QCOMPARE(TMainForm::kindOf(local), TMainForm::NodeKind::Host);
    QCOMPARE(TMainForm::imageOf(local), 5);
    QCOMPARE(TMainForm::selectedImageOf(local), 5);
    QCOMPARE(local->childCount(), 1);
    QCOMPARE(local->child(0)->text(0), QString::fromUtf8("Чтение списка OPC-серверов..."));
    QCOMPARE(TMainForm::kindOf(local->child(0)), TMainForm::NodeKind::Status);
    QCOMPARE(TMainForm::imageOf(local->child(0)), -1);
    QVERIFY(local->isExpanded());

    QVERIFY(waitFor([&] { return statusChild(local) == nullptr; }));
    // The registry lists keys in case-insensitive name order; the tree keeps that order.
    QCOMPARE(childCaptions(local), (QStringList{"Tagvista.Test.AdviseFails", "Tagvista.Test.Good",
                                                "Tagvista.Test.StatusFails"}));
    for (int i = 0; i < local->childCount(); ++i) {
        QTreeWidgetItem* server = local->child(i);
        QCOMPARE(TMainForm::kindOf(server), TMainForm::NodeKind::Server);
        QCOMPARE(TMainForm::imageOf(server), 0);
        QCOMPARE(TMainForm::selectedImageOf(server), 0);
        QCOMPARE(server->childCount(), 0);
        QCOMPARE(server->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
        QVERIFY(connectionOf(server)->idle());
    }
    QVERIFY(local->isExpanded());
    QCOMPARE(window.tableModel()->rowCount(), 0);
}

void TestMainWindow::designOfTheControls()
{
    TestEnvironment environment({});
    TMainForm window;
    QCOMPARE(window.tree()->indentation(), 19);
    QCOMPARE(window.findChild<QSplitter*>("_splitter")->handleWidth(), 3);
    QStringList headers;
    for (int c = 0; c < window.tableModel()->columnCount(); ++c)
        headers << window.tableModel()->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(headers, (QStringList{"Name", "Type", "Value", QString::fromUtf8("Время"), "Quality"}));

    const QList<QAction*> entries = window.treeMenu()->actions();
    QCOMPARE(entries.size(), 4);
    QCOMPARE(entries[0], window.connectAction());
    QCOMPARE(entries[1], window.disconnectAction());
    QVERIFY(entries[2]->isSeparator());
    QCOMPARE(entries[2]->objectName(), QStringLiteral("N1"));
    QCOMPARE(entries[3], window.connectRemoteHostAction());
    QCOMPARE(window.connectAction()->text(), QStringLiteral("Connect"));
    QCOMPARE(window.disconnectAction()->text(), QStringLiteral("Disconnect"));
    QCOMPARE(window.connectRemoteHostAction()->text(), QStringLiteral("Connect Remote Host..."));
}

void TestMainWindow::placementDefaultsWithoutStoredText()
{
    TestEnvironment environment({});
    TMainForm window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.pos(), QPoint(192, 112));
    QCOMPARE(window.size(), QSize(639, 432));
    QCOMPARE(window.treeWidth(), 169);
}

void TestMainWindow::placementRestoredFromStoredText_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QRect>("bounds");
    QTest::addColumn<int>("treeWidth");
    const QRect design(192, 112, 639, 432);
    QTest::newRow("five numbers") << "10,20,800,600,250" << QRect(10, 20, 800, 600) << 250;
    QTest::newRow("negative, trailing text ignored") << "-5,-5,800,600,250,7" << QRect(-5, -5, 800, 600) << 250;
    QTest::newRow("blanks before a number") << "10, 20,800,600, 250" << QRect(10, 20, 800, 600) << 250;
    QTest::newRow("four numbers") << "10,20,800,600" << design << 169;
    QTest::newRow("other separators") << "10;20;800;600;250" << design << 169;
    QTest::newRow("blank before a comma") << "10 ,20,800,600,250" << design << 169;
    QTest::newRow("not a number") << "10,20,wide,600,250" << design << 169;
    QTest::newRow("beyond int") << "99999999999,20,800,600,250" << design << 169;
    QTest::newRow("empty") << "" << design << 169;
}

void TestMainWindow::placementRestoredFromStoredText()
{
    QFETCH(QString, stored);
    QFETCH(QRect, bounds);
    QFETCH(int, treeWidth);
    TestEnvironment environment({});
    storeSetting("MainForm", stored.toStdString());
    TMainForm window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(QRect(window.pos(), window.size()), bounds);
    QCOMPARE(window.treeWidth(), treeWidth);
}

void TestMainWindow::placementOfAnotherTypeIsIgnored()
{
    TestEnvironment environment({});
    storeDwordSetting("MainForm", 10);
    TMainForm window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(QRect(window.pos(), window.size()), QRect(192, 112, 639, 432));
}

void TestMainWindow::placementSavedWhenTheWindowGoes()
{
    TestEnvironment environment({});
    QCOMPARE(settings::keyPath(), "\\Software\\Quellmark\\" + settings::executableFileName());
    QCOMPARE(QString::fromStdString(settings::executableFileName()), QStringLiteral("ui_tests"));
    {
        TMainForm window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.move(30, 40);
        window.resize(700, 500);
        window.findChild<QSplitter*>("_splitter")->setSizes({200, 497});
        QVERIFY(waitFor([&] { return window.treeWidth() == 200 && window.size() == QSize(700, 500); }));
    }
    DWORD type = 0;
    QCOMPARE(storedSetting("MainForm", &type), std::optional<std::string>("30,40,700,500,200"));
    QCOMPARE(type, REG_SZ);
}

void TestMainWindow::previousLogIsDeletedAtConstruction()
{
    TestEnvironment environment({});
    const std::string executable = settings::executablePath();
    const std::string log = executable + ".log";  // ui_tests has no extension: ui_tests.log
    std::ofstream(log) << "the previous run\n";
    QVERIFY(std::filesystem::exists(log));
    TMainForm window;
    QVERIFY(!std::filesystem::exists(log));
    QCOMPARE(logg::Logger::instance().fileName(), log);
    QCOMPARE(logg::Logger::instance().level(), 0);
}

void TestMainWindow::drainsYieldToTheEventLoop()
{
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    std::uint64_t handled = 0;
    dispatcher.setHandler([&](UINT, WPARAM, LPARAM) { ++handled; });
    {
        DispatcherPump pump(dispatcher);
        constexpr std::size_t kMessages = 2'000'000;
        for (std::size_t i = 0; i < kMessages; ++i) dispatcher.post(WM_USER + 100, i, 0);
        // Queued behind the first drain: it runs between drains only if a drain hands the loop
        // back before the queue is empty.
        std::size_t leftWhenTimerRan = 0;
        bool timerRan = false;
        QTimer::singleShot(0, [&] {
            timerRan = true;
            leftWhenTimerRan = dispatcher.postedCount();
        });
        QVERIFY(waitFor([&] { return handled == kMessages; }, 120000));
        QVERIFY(timerRan);
        QVERIFY(leftWhenTimerRan > 0);
        QVERIFY(pump.drains() > 1);
    }
    dispatcher.setHandler(nullptr);
}

void TestMainWindow::sentMessagesOfWorkersAreHandled()
{
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    std::vector<WPARAM> seen;
    dispatcher.setHandler([&](UINT, WPARAM wParam, LPARAM) { seen.push_back(wParam); });
    {
        DispatcherPump pump(dispatcher);
        bool senderDone = false;
        std::thread sender([&] {
            dispatcher.post(WM_USER + 100, 1, 0);
            dispatcher.send(WM_USER + 100, 2, 0);  // waits until the main thread has run it
            senderDone = true;
        });
        const bool bothHandled = waitFor([&] { return seen.size() == 2; });
        if (!bothHandled) dispatcher.processAll();  // release the sender before failing
        sender.join();
        QVERIFY(bothHandled);
        QVERIFY(senderDone);
        // The sent one goes before the posted one that was still queued.
        QCOMPARE(seen, (std::vector<WPARAM>{2, 1}));
    }
    dispatcher.setHandler(nullptr);
}

void TestMainWindow::handlerErrorsReachTheCallbackAndTheRestRuns()
{
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    std::vector<WPARAM> seen;
    dispatcher.setHandler([&](UINT, WPARAM wParam, LPARAM) {
        seen.push_back(wParam);
        if (wParam == 2) throw Exception("handler failed");
    });
    {
        DispatcherPump pump(dispatcher);
        QStringList errors;
        pump.setErrorCallback([&](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const Exception& e) {
                errors << QString::fromStdString(e.message());
            }
        });
        for (WPARAM i = 1; i <= 4; ++i) dispatcher.post(WM_USER + 100, i, 0);
        QVERIFY(waitFor([&] { return seen.size() == 4; }));
        QCOMPARE(seen, (std::vector<WPARAM>{1, 2, 3, 4}));
        QCOMPARE(errors, QStringList{"handler failed"});
    }
    dispatcher.setHandler(nullptr);
}

UI_TEST_CLASS(TestMainWindow);
#include "TestMainWindow.moc"
