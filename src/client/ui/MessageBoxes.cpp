#include "MessageBoxes.h"

#include "Application.h"
#include "client/ErrorString.h"
#include "client/form/ErrorBoxes.h"

#include <QApplication>
#include <QMessageBox>

QString errorText(std::exception_ptr error)
{
    return QString::fromStdString(form::errorText(error));
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
    form::installAssertionQuestion(&askAssertionQuestion);
}
