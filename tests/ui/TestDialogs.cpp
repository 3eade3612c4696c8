// The remote host dialog with its RecentHost, the computer picker, and the message boxes.
#include "UiTestSupport.h"

#include "ComputerPickerDialog.h"
#include "DispatcherPump.h"
#include "HostDialogUnit.h"
#include "MessageBoxes.h"
#include "client/ErrorString.h"
#include "client/Exception.h"
#include "client/form/UserSettings.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <fstream>
#include <thread>

using namespace uitest;

namespace {

// What a test does with the dialog once askHost shows it; runs inside the modal loop.
std::optional<std::string> askWith(QWidget* parent, const std::function<void(THostDialog*)>& act)
{
    QTimer::singleShot(0, [act] {
        THostDialog* dialog = hostDialog();
        if (dialog) act(dialog);
    });
    return askHost(parent);
}

// Clicks a button of the message box that is showing, once there is one.
void answerMessageBox(QMessageBox::StandardButton button, QString* title, QString* text)
{
    QTimer::singleShot(0, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            answerMessageBox(button, title, text);  // not shown yet: look again
            return;
        }
        *title = box->windowTitle();
        *text = box->text();
        box->button(button)->click();
    });
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void designOfTheHostDialog();
    void firstRunThenConfirmStoresAndIsOfferedNextRun();
    void confirmingAnEmptyNameStoresIt();
    void nonStringRecentHostStartsEmpty();
    void closingWithoutConfirmingKeepsTheTextAndStoresNothing();
    void escapeCancelsAndEnterConfirms();
    void pickedComputerReplacesTheTextOnly();
    void computerPickerListsAndReturnsAName();
    void computerPickerCancelled();
    void assertionQuestionAnswersOnTheMainThread();
    void errorTexts();
};

void TestDialogs::designOfTheHostDialog()
{
    TestEnvironment environment({});
    THostDialog dialog;
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Подключение к удаленному серверу"));
    QCOMPARE(dialog.size(), QSize(439, 82));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QCOMPARE(dialog.okButton()->text(), QString::fromUtf8("Подключиться"));
    QVERIFY(dialog.okButton()->isDefault());
    QCOMPARE(dialog.cancelButton()->text(), QString::fromUtf8("Отмена"));
    QCOMPARE(dialog.chooseButton()->focusPolicy(), Qt::NoFocus);
    QVERIFY(!dialog.chooseButton()->icon().isNull());
    QVERIFY(dialog.chooseButton()->text().isEmpty());
    QCOMPARE(dialog.hostEdit()->font().pixelSize(), 13);
    // The label starts where designed; a stand-in face wider than the design one widens it, and
    // the edit gives up as much on its left, keeping the gap and its right edge.
    const QRect label = dialog.findChild<QLabel*>("_hostLabel")->geometry();
    QCOMPARE(label.topLeft(), QPoint(8, 20));
    QVERIFY(label.width() >= 38);
    QCOMPARE(dialog.hostEdit()->geometry(), QRect(QPoint(8 + label.width() + 2, 16), QPoint(288, 39)));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(QApplication::focusWidget(), dialog.hostEdit());  // first in tab order
}

void TestDialogs::firstRunThenConfirmStoresAndIsOfferedNextRun()
{
    TestEnvironment environment({});
    QString offered = "not asked";
    {
        QWidget window;
        const std::optional<std::string> answer = askWith(&window, [&](THostDialog* dialog) {
            offered = dialog->hostEdit()->text();
            dialog->hostEdit()->setText("plant7");
            QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
        });
        QCOMPARE(offered, QString());
        QCOMPARE(answer, std::optional<std::string>("plant7"));
        QCOMPARE(storedSetting("RecentHost"), std::optional<std::string>("plant7"));
    }
    // The dialog went with its window, as at the end of a run; the next one starts from the store.
    QCOMPARE(hostDialog(), nullptr);
    QWidget window;
    const std::optional<std::string> answer = askWith(&window, [&](THostDialog* dialog) {
        offered = dialog->hostEdit()->text();
        dialog->reject();
    });
    QCOMPARE(offered, QStringLiteral("plant7"));
    QCOMPARE(answer, std::nullopt);
}

void TestDialogs::confirmingAnEmptyNameStoresIt()
{
    TestEnvironment environment({});
    storeSetting("RecentHost", "old");
    QWidget window;
    const std::optional<std::string> answer = askWith(&window, [](THostDialog* dialog) {
        dialog->hostEdit()->clear();
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    QCOMPARE(answer, std::optional<std::string>(""));
    QCOMPARE(storedSetting("RecentHost"), std::optional<std::string>(""));
}

void TestDialogs::nonStringRecentHostStartsEmpty()
{
    TestEnvironment environment({});
    storeDwordSetting("RecentHost", 7);
    QCOMPARE(settings::recentHost(), std::string());
    THostDialog dialog;
    QCOMPARE(dialog.hostEdit()->text(), QString());
}

void TestDialogs::closingWithoutConfirmingKeepsTheTextAndStoresNothing()
{
    TestEnvironment environment({});
    QWidget window;
    std::optional<std::string> answer = askWith(&window, [](THostDialog* dialog) {
        dialog->hostEdit()->setText("  typed  ");
        dialog->close();  // the window's close command
    });
    QCOMPARE(answer, std::nullopt);
    QCOMPARE(storedSetting("RecentHost"), std::nullopt);

    QString offered;
    answer = askWith(&window, [&](THostDialog* dialog) {
        offered = dialog->hostEdit()->text();
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    QCOMPARE(offered, QStringLiteral("  typed  "));
    QCOMPARE(answer, std::optional<std::string>("  typed  "));  // unchanged, blanks and all
    QCOMPARE(storedSetting("RecentHost"), std::optional<std::string>("  typed  "));
}

void TestDialogs::escapeCancelsAndEnterConfirms()
{
    TestEnvironment environment({});
    QWidget window;
    std::optional<std::string> answer = askWith(&window, [](THostDialog* dialog) {
        dialog->hostEdit()->setText("escaped");
        QTest::keyClick(dialog->hostEdit(), Qt::Key_Escape);
    });
    QCOMPARE(answer, std::nullopt);
    answer = askWith(&window, [](THostDialog* dialog) {
        dialog->hostEdit()->setText("entered");
        QTest::keyClick(dialog->hostEdit(), Qt::Key_Return);
    });
    QCOMPARE(answer, std::optional<std::string>("entered"));
    QCOMPARE(storedSetting("RecentHost"), std::optional<std::string>("entered"));
}

void TestDialogs::pickedComputerReplacesTheTextOnly()
{
    TestEnvironment environment({});
    THostDialog dialog;
    dialog.hostEdit()->setText("before");
    std::optional<std::string> pick = "scada1";
    dialog.setComputerPicker([&](QWidget*) { return pick; });
    QTest::mouseClick(dialog.chooseButton(), Qt::LeftButton);
    QCOMPARE(dialog.hostEdit()->text(), QStringLiteral("scada1"));
    QCOMPARE(storedSetting("RecentHost"), std::nullopt);
    pick.reset();  // cancelled
    QTest::mouseClick(dialog.chooseButton(), Qt::LeftButton);
    QCOMPARE(dialog.hostEdit()->text(), QStringLiteral("scada1"));
}

void TestDialogs::computerPickerListsAndReturnsAName()
{
    TestEnvironment environment({});
    platform::ComputerSources sources;
    sources.hostsFile = (environment.folder() / "hosts").string();
    sources.neighbourFile = (environment.folder() / "arp").string();
    std::ofstream(sources.hostsFile) << "127.0.0.1 localhost\n10.0.0.7 plant7 Plant7.example # a comment\n"
                                        "ff02::1 ip6-allnodes\n";
    std::ofstream(sources.neighbourFile)
        << "IP address       HW type     Flags       HW address            Mask     Device\n"
           "192.0.2.9        0x1         0x2         02:00:00:00:00:09     *        eth0\n"
           "192.0.2.10       0x1         0x2         02:00:00:00:00:0a     *        eth0\n"
           "192.0.2.11       0x1         0x0         00:00:00:00:00:00     *        eth0\n";
    sources.reverseLookup = [](const platform::IPv4Address& address) -> std::optional<std::string> {
        if (address == platform::IPv4Address{192, 0, 2, 9}) return std::string("scada1");
        return std::nullopt;
    };

    ComputerPickerDialog dialog(nullptr, sources);
    QVERIFY(waitFor([&] { return dialog.loaded(); }));
    QStringList names;
    for (int i = 0; i < dialog.list()->topLevelItemCount(); ++i) names << dialog.list()->topLevelItem(i)->text(0);
    QCOMPARE(names, (QStringList{"192.0.2.10", "localhost", "plant7", "Plant7.example", "scada1"}));
    dialog.list()->setCurrentItem(dialog.list()->topLevelItem(4));
    QCOMPARE(dialog.list()->topLevelItem(4)->text(1), QStringLiteral("192.0.2.9"));
    QCOMPARE(dialog.selectedName(), std::optional<std::string>("scada1"));

    // Through pick(), as the host dialog's button uses it.
    QTimer::singleShot(0, [] {
        auto* picker = qobject_cast<ComputerPickerDialog*>(QApplication::activeModalWidget());
        if (!picker) return;
        if (!QTest::qWaitFor([&] { return picker->loaded(); })) return;
        picker->list()->setCurrentItem(picker->list()->topLevelItem(2));
        picker->accept();
    });
    QCOMPARE(ComputerPickerDialog::pick(nullptr, sources), std::optional<std::string>("plant7"));
}

void TestDialogs::computerPickerCancelled()
{
    TestEnvironment environment({});
    platform::ComputerSources sources;
    sources.hostsFile = (environment.folder() / "none").string();
    sources.neighbourFile = (environment.folder() / "none").string();
    QTimer::singleShot(0, [] {
        if (auto* picker = qobject_cast<QDialog*>(QApplication::activeModalWidget())) picker->reject();
    });
    QCOMPARE(ComputerPickerDialog::pick(nullptr, sources), std::nullopt);
}

void TestDialogs::assertionQuestionAnswersOnTheMainThread()
{
    installAssertionQuestion();
    QString title;
    QString text;
    answerMessageBox(QMessageBox::No, &title, &text);
    QCOMPARE(reportAssertion("size != 0", "Text.cpp", 12), IDNO);
    QVERIFY(text.contains("size != 0"));
    QVERIFY(text.contains("Text.cpp"));
    QVERIFY(!title.isEmpty());

    // From a worker: asked on the main thread through the dispatcher, answered there.
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    DispatcherPump pump(dispatcher);
    answerMessageBox(QMessageBox::Cancel, &title, &text);
    std::atomic<int> answer{0};
    std::thread worker([&] { answer = reportAssertion("pointer", "Worker.cpp", 7); });
    const bool answered = waitFor([&] { return answer != 0; });
    if (!answered) dispatcher.processAll();
    worker.join();
    QCOMPARE(answer.load(), IDCANCEL);
    QVERIFY(text.contains("Worker.cpp"));

    // Yes raises the failure as an error.
    answerMessageBox(QMessageBox::Yes, &title, &text);
    bool raised = false;
    try {
        reportAssertion("x", "Y.cpp", 1);
    } catch (const EOleException&) {
        raised = true;
    }
    QVERIFY(raised);
    setAssertionHandler(nullptr);
}

void TestDialogs::errorTexts()
{
    QCOMPARE(errorText(std::make_exception_ptr(Exception("Сервер недоступен"))), QString::fromUtf8("Сервер недоступен"));
    QCOMPARE(errorText(std::make_exception_ptr(std::runtime_error("plain"))), QStringLiteral("plain"));
    QCOMPARE(errorText(std::make_exception_ptr(42)), QString::fromUtf8("Неизвестная ошибка"));
}

UI_TEST_CLASS(TestDialogs);
#include "TestDialogs.moc"
