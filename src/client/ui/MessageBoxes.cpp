#include "MessageBoxes.h"

#include "Application.h"
#include "client/ErrorString.h"
#include "client/Exception.h"
#include "platform/Dispatcher.h"

#include <QApplication>
#include <QMessageBox>

QString errorText(std::exception_ptr error)
{
    try {
        if (error) std::rethrow_exception(error);
    } catch (const Exception& e) {
        return QString::fromStdString(e.message());
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
    }
    return QString::fromUtf8("Неизвестная ошибка");
}

void showErrorMessage(QWidget* parent, const QString& text)
{
    QMessageBox::critical(parent, QString::fromUtf8(kProgramName), text, QMessageBox::Ok);
}

int askAssertionQuestion(const std::string& caption, const std::string& text)
{
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    default:
        return IDCANCEL;
    }
}

void installAssertionQuestion()
{
    setAssertionHandler([](const std::string& caption, const std::string& text) {
        platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
        if (dispatcher.isMainThread()) return askAssertionQuestion(caption, text);
        // A worker may fail a check too; widgets belong to the main thread, which answers as it
        // runs the worker's completion steps (also while it waits for a worker).
        int answer = IDCANCEL;
        dispatcher.synchronize([&] { answer = askAssertionQuestion(caption, text); });
        return answer;
    });
}
