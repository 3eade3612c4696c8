// The texts of the windows as the operator sees them: the forms' design font, every caption
// whole in its control, and window titles exactly as the program words them.
#include "UiTestSupport.h"

#include "ComputerPickerDialog.h"
#include "HostDialogUnit.h"
#include "MessageBoxes.h"
#include "client/ErrorString.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QWindow>

using namespace uitest;
using servers::test::Fault;

namespace {

// The title the window system gets. The X11 and Wayland plugins append the application's display
// name, when one is set, to a title that does not end with it already; the offscreen plugin passes
// the title on unchanged, so that rule is applied here.
QString windowSystemTitle(const QWidget* window)
{
    const QString title = window->windowHandle() ? window->windowHandle()->title() : QString();
    // applicationDisplayName() follows applicationName() unless a display name was set.
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(name + QStringLiteral("~"));
    const QString displayName = QGuiApplication::applicationDisplayName();
    const bool displayNameSet = displayName != QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(name);
    if (!displayNameSet || title.endsWith(displayName)) return title;
    return title.isEmpty() ? displayName : title + QString::fromUtf8(" \u2014 ") + displayName;
}

// What the message box showing now (once there is one) passes to the window system; then it is
// answered with Cancel or OK.
void readMessageBoxTitle(QString* title)
{
    QTimer::singleShot(0, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            readMessageBoxTitle(title);  // not shown yet: look again
            return;
        }
        *title = windowSystemTitle(box);
        QAbstractButton* answer = box->button(QMessageBox::Cancel);
        if (!answer) answer = box->button(QMessageBox::Ok);
        answer->click();
    });
}

QString withoutMnemonic(QString text)
{
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    return text;
}

// The labels, buttons and visible column headers of a form whose text does not show whole, as
// "name: needs N, has M".
QStringList cutTexts(const QWidget* form)
{
    QStringList cut;
    const auto check = [&](const QString& name, int needs, int has) {
        if (needs > has) cut << QStringLiteral("%1: needs %2, has %3").arg(name).arg(needs).arg(has);
    };
    for (const QLabel* label : form->findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;
        check(label->objectName(), label->fontMetrics().horizontalAdvance(label->text()),
              label->contentsRect().width());
    }
    for (const QAbstractButton* button : form->findChildren<QAbstractButton*>()) {
        const QString text = withoutMnemonic(button->text());
        if (text.isEmpty()) continue;
        int needs = button->fontMetrics().horizontalAdvance(text) +
                    2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        if (!button->icon().isNull()) needs += button->iconSize().width() + 4;
        check(button->objectName(), needs, button->contentsRect().width());
    }
    for (const QHeaderView* header : form->findChildren<QHeaderView*>()) {
        if (header->isHidden() || !header->model()) continue;
        const int margins = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
        for (int section = 0; section < header->count(); ++section) {
            const QString text = header->model()->headerData(section, header->orientation()).toString();
            check(header->parentWidget()->objectName() + QLatin1Char('/') + text,
                  header->fontMetrics().horizontalAdvance(text) + margins, header->sectionSize(section));
        }
    }
    return cut;
}

} // namespace

class TestWindowTexts : public QObject {
    Q_OBJECT
private slots:
    void formsUseTheDesignFont();
    void captionsShowWholeInTheHostDialog();
    void captionsShowWholeInTheMainWindow();
    void titlesAreThePrograms();
};

void TestWindowTexts::formsUseTheDesignFont()
{
    TestEnvironment environment({});
    TMainForm window;
    THostDialog dialog(&window);
    for (QWidget* form : std::initializer_list<QWidget*>{&window, &dialog}) {
        QCOMPARE(form->font().family(), QStringLiteral("MS Sans Serif"));
        QCOMPARE(form->font().pixelSize(), 11);
        // Where the design face is missing, a proportional face stands in for it.
        QVERIFY(!QFontInfo(form->font()).fixedPitch());
    }
    QCOMPARE(window.tree()->font().pixelSize(), 11);
    QCOMPARE(window.table()->header()->font().pixelSize(), 11);
    for (const QLabel* label : dialog.findChildren<QLabel*>()) QCOMPARE(label->font().pixelSize(), 11);
    QCOMPARE(dialog.okButton()->font().pixelSize(), 11);
    // The edit keeps a fixed-pitch face of its own.
    QCOMPARE(dialog.hostEdit()->font().pixelSize(), 13);
    QVERIFY(QFontInfo(dialog.hostEdit()->font()).fixedPitch());
}

void TestWindowTexts::captionsShowWholeInTheHostDialog()
{
    TestEnvironment environment({});
    THostDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.findChildren<QLabel*>().size(), 1);
    QCOMPARE(dialog.findChild<QLabel*>()->text(), QString::fromUtf8("Сервер"));
    QCOMPARE(cutTexts(&dialog), QStringList());

    // Made room for, not overlapped: the label ends before the edit, and every control lies
    // inside the dialog.
    QVERIFY(dialog.findChild<QLabel*>()->geometry().right() < dialog.hostEdit()->geometry().left());
    for (const QWidget* control : dialog.findChildren<QWidget*>()) {
        if (control->isWindow() || control->parentWidget() != &dialog) continue;
        QVERIFY2(dialog.rect().contains(control->geometry()), qPrintable(control->objectName()));
    }
}

void TestWindowTexts::captionsShowWholeInTheMainWindow()
{
    TestEnvironment environment({Fault::None});
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QCOMPARE(cutTexts(&window), QStringList());  // the table's headers before any row

    QTreeWidgetItem* server = nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good"});
    QVERIFY(connectAndWait(window, server));
    select(window, server);
    QCOMPARE(window.tableModel()->rowCount(), 2);
    // The columns fit their values now; the headers still show whole.
    QCOMPARE(cutTexts(&window), QStringList());
}

void TestWindowTexts::titlesAreThePrograms()
{
    TestEnvironment environment({});
    TMainForm window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowHandle()->title(), QStringLiteral("Tagvista"));
    QCOMPARE(windowSystemTitle(&window), QStringLiteral("Tagvista"));

    THostDialog dialog(&window);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.windowHandle()->title(), QString::fromUtf8("Подключение к удаленному серверу"));
    QCOMPARE(windowSystemTitle(&dialog), QString::fromUtf8("Подключение к удаленному серверу"));
    dialog.hide();

    platform::ComputerSources sources;
    sources.hostsFile = (environment.folder() / "none").string();
    sources.neighbourFile = (environment.folder() / "none").string();
    ComputerPickerDialog picker(&dialog, sources);
    picker.show();
    QVERIFY(QTest::qWaitForWindowExposed(&picker));
    QCOMPARE(windowSystemTitle(&picker), QString::fromUtf8("Выбор компьютера"));
    picker.hide();

    installAssertionQuestion();
    QString title;
    readMessageBoxTitle(&title);
    QCOMPARE(reportAssertion("size != 0", "Text.cpp", 12), IDCANCEL);
    setAssertionHandler(nullptr);
    QCOMPARE(title, QStringLiteral("_ASSERTE: "));

    readMessageBoxTitle(&title);
    showErrorMessage(&window, QStringLiteral("failed"));
    QCOMPARE(title, QStringLiteral("Tagvista"));
}

UI_TEST_CLASS(TestWindowTexts);
#include "TestWindowTexts.moc"
