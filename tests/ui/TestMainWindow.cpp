// The main window's frame: its start state and first listing, the stored placement, the log file
// and the notifications' lines in it, and the dispatcher's drains on the event loop.
#include "UiTestSupport.h"

#include "DispatcherPump.h"
#include "client/form/UserSettings.h"
#include "client/Exception.h"
#include "client/Logger.h"
#include "client/WindowMessages.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QScreen>
#include <QSplitter>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

using namespace uitest;
using servers::test::Fault;

namespace {

const QRect kDesignBounds(192, 112, 639, 432);
constexpr int kDesignTreeWidth = 169;

QString placementText(int left, int top, int width, int height, int treeWidth)
{
    return QString::asprintf("%d,%d,%d,%d,%d", left, top, width, height, treeWidth);
}

// The union of the screens' available areas.
QRect desktop()
{
    QRect area;
    for (const QScreen* screen : QGuiApplication::screens()) area |= screen->availableGeometry();
    return area;
}

// The window's lines about its notifications, in the order written, without their time stamps.
QStringList notificationLines(const std::string& log)
{
    QStringList lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const QString text = QString::fromStdString(line.substr(tab + 1)).trimmed();
        if (text.startsWith("Host ") || text.startsWith("OPC-server ")) lines << text;
    }
    return lines;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void startStateAndFirstListing();
    void designOfTheControls();
    void placementDefaultsWithoutStoredText();
    void placementRestoredFromStoredText_data();
    void placementRestoredFromStoredText();
    void placementOutsideTheScreensIsNotUsed_data();
    void placementOutsideTheScreensIsNotUsed();
    void placementOfAnotherTypeIsIgnored();
    void placementSavedWhenTheWindowGoes();
    void previousLogIsDeletedAtConstruction();
    void notificationsAreLoggedAtLevelSeven();
    void drainsYieldToTheEventLoop();
    void waitForAWorkerRunsItsSentMessagesOnly();
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
    // Placements that fit the screen the tests run on (the offscreen one is 800 pixels square);
    // 800 by 600 wherever the screen allows it.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const int width = std::min(800, screen.width());
    const int height = std::min(600, screen.height());
    const QRect fits(screen.left() + 10, screen.top() + 20, width, height);
    const QRect offByFive(screen.left() - 5, screen.top() - 5, width, height);
    QTest::newRow("five numbers") << placementText(fits.x(), fits.y(), width, height, 250) << fits << 250;
    QTest::newRow("negative, trailing text ignored")
        << placementText(offByFive.x(), offByFive.y(), width, height, 250) + ",7" << offByFive << 250;
    QTest::newRow("blanks before a number")
        << QString::asprintf("%d, %d,%d,%d, 250", fits.x(), fits.y(), width, height) << fits << 250;
    // A tree width that leaves no room, or none for the table, gives way to the design width.
    QTest::newRow("tree width negative") << placementText(fits.x(), fits.y(), width, height, -50) << fits
                                         << kDesignTreeWidth;
    QTest::newRow("tree width zero") << placementText(fits.x(), fits.y(), width, height, 0) << fits
                                     << kDesignTreeWidth;
    QTest::newRow("tree as wide as the window") << placementText(fits.x(), fits.y(), width, height, width) << fits
                                                << kDesignTreeWidth;
    QTest::newRow("tree wider than the window") << placementText(fits.x(), fits.y(), width, height, 5000) << fits
                                                << kDesignTreeWidth;
    QTest::newRow("four numbers") << "10,20,800,600" << kDesignBounds << kDesignTreeWidth;
    QTest::newRow("other separators") << "10;20;800;600;250" << kDesignBounds << kDesignTreeWidth;
    QTest::newRow("blank before a comma") << "10 ,20,800,600,250" << kDesignBounds << kDesignTreeWidth;
    QTest::newRow("not a number") << "10,20,wide,600,250" << kDesignBounds << kDesignTreeWidth;
    QTest::newRow("beyond int") << "99999999999,20,800,600,250" << kDesignBounds << kDesignTreeWidth;
    QTest::newRow("empty") << "" << kDesignBounds << kDesignTreeWidth;
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

void TestMainWindow::placementOutsideTheScreensIsNotUsed_data()
{
    QTest::addColumn<QString>("stored");
    const QRect area = desktop();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const int width = std::min(800, screen.width());
    const int height = std::min(600, screen.height());
    QTest::newRow("largest window size") << "0,0,32767,32767,300";
    QTest::newRow("largest int everywhere") << "2147483647,2147483647,2147483647,2147483647,2147483647";
    QTest::newRow("smallest int position") << "-2147483648,-2147483648,800,600,250";
    QTest::newRow("wider than the desktop") << placementText(area.left(), area.top(), area.width() + 1, height, 250);
    QTest::newRow("taller than the desktop") << placementText(area.left(), area.top(), width, area.height() + 1, 250);
    QTest::newRow("right of every screen") << placementText(area.right() + 1, area.top(), width, height, 250);
    QTest::newRow("below every screen") << placementText(area.left(), area.bottom() + 1, width, height, 250);
    // Most of the window shows, but not the title bar to move it by.
    QTest::newRow("title bar above the screen") << placementText(screen.left(), screen.top() - 15, width, height, 250);
    QTest::newRow("no size") << "10,20,0,0,250";
    QTest::newRow("negative size") << "10,20,-800,-600,250";
}

void TestMainWindow::placementOutsideTheScreensIsNotUsed()
{
    QFETCH(QString, stored);
    TestEnvironment environment({});
    storeSetting("MainForm", stored.toStdString());
    {
        TMainForm window;
        // Compared before it is shown: a window of the stored size would not even paint. Apart,
        // as the stored numbers may not even make a rectangle.
        QCOMPARE(window.size(), kDesignBounds.size());
        QCOMPARE(window.pos(), kDesignBounds.topLeft());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(QRect(window.pos(), window.size()), kDesignBounds);
        QCOMPARE(window.treeWidth(), kDesignTreeWidth);
    }
    // What is stored back is usable: the next start does not fail the same way.
    QCOMPARE(storedSetting("MainForm"), std::optional<std::string>("192,112,639,432,169"));
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

void TestMainWindow::notificationsAreLoggedAtLevelSeven()
{
    TestEnvironment environment({Fault::None});
    TMainForm window;  // sets the threshold to 0
    LogCapture log(environment.folder());
    window.show();
    QTreeWidgetItem* local = window.tree()->topLevelItem(0);
    QVERIFY(waitFor([&] { return statusChild(local) == nullptr; }));
    QTreeWidgetItem* server = nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good"});
    QVERIFY(server);
    QVERIFY(connectAndWait(window, server));
    select(window, server);
    trigger(window, window.disconnectAction());
    // WM_SERVER_DISCONNECTED is sent from the completion step that makes the connection idle.
    QVERIFY(waitFor([&] { return connectionOf(server)->idle(); }));
    QCOMPARE(notificationLines(log.text()), (QStringList{"Host (local) connected",
                                                        "OPC-server (local)|Tagvista.Test.Good connected",
                                                        "OPC-server (local)|Tagvista.Test.Good ready",
                                                        "OPC-server (local)|Tagvista.Test.Good disconnected"}));

    // At the threshold the window sets itself, none of them is written.
    logg::Logger::instance().setLevel(6);
    QVERIFY(connectAndWait(window, server));
    QCOMPARE(notificationLines(log.text()).size(), 4);
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

void TestMainWindow::waitForAWorkerRunsItsSentMessagesOnly()
{
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    std::vector<WPARAM> seen;
    bool onMainThread = true;
    dispatcher.setHandler([&](UINT, WPARAM wParam, LPARAM) {
        onMainThread = onMainThread && dispatcher.isMainThread();
        seen.push_back(wParam);
    });
    {
        DispatcherPump pump(dispatcher);
        std::atomic<bool> workerDone{false};
        std::thread worker([&] {
            dispatcher.post(WM_USER + 100, 1, 0);
            dispatcher.send(WM_USER + 100, 2, 0);  // returns once the main thread has run it
            dispatcher.post(WM_USER + 100, 3, 0);
            dispatcher.synchronize([&] { seen.push_back(4); });  // a completion step
            dispatcher.post(WM_USER + 100, 5, 0);
            workerDone = true;
            dispatcher.wakeWaiters();
        });
        // The window's wait for its workers: no event loop runs meanwhile, so no drain either.
        bool finished = dispatcher.waitUntil([&] { return workerDone.load(); }, std::chrono::milliseconds(kDeadlineMs));
        if (!finished) dispatcher.pumpUntil([&] { return workerDone.load(); }, std::chrono::milliseconds(kDeadlineMs));
        worker.join();
        QVERIFY(finished);
        QCOMPARE(seen, (std::vector<WPARAM>{2, 4}));
        QCOMPARE(dispatcher.postedCount(), std::size_t{3});

        // The posted ones wait for the event loop's drains, and come in the order they were posted.
        QVERIFY(waitFor([&] { return seen.size() == 5; }));
        QCOMPARE(seen, (std::vector<WPARAM>{2, 4, 1, 3, 5}));
        QVERIFY(onMainThread);
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
