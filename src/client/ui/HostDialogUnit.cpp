#include "HostDialogUnit.h"

#include "ComputerPickerDialog.h"
#include "DesignFont.h"
#include "ImageList.h"
#include "client/form/UserSettings.h"

#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>

#include "ui_HostDialog.h"

namespace {

QPointer<THostDialog>& theDialog()
{
    static QPointer<THostDialog> dialog;
    return dialog;
}

} // namespace

THostDialog::THostDialog(QWidget* parent) : QDialog(parent), _ui(std::make_unique<Ui::HostDialog>())
{
    ImageList::registerResources();  // the computer picture of _chooseDialog
    setFont(designFont());  // before the controls are made, so they are sized in it
    _ui->setupUi(this);
    _host = _ui->_host;
    _chooseDialog = _ui->_chooseDialog;
    _ok = _ui->_ok;
    _cancel = _ui->_cancel;
    setFixedSize(439, 82);
    // "Сервер" was sized for the design face; a wider stand-in takes its room from the edit.
    fitLabelBeside(_ui->_hostLabel, _host);

    // A fixed-pitch face, so that host names line up as typed.
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(13);
    _host->setFont(font);

    connect(_ok, &QPushButton::clicked, this, &THostDialog::ok);
    connect(_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(_chooseDialog, &QToolButton::clicked, this, &THostDialog::chooseDialogClick);
    _pickComputer = [](QWidget* owner) { return ComputerPickerDialog::pick(owner); };

    formCreate();
}

THostDialog::~THostDialog() = default;

void THostDialog::formCreate()
{
    _host->setText(QString::fromStdString(settings::recentHost()));
}

std::string THostDialog::hostText() const
{
    return _host->text().toStdString();
}

void THostDialog::ok()
{
    settings::rememberRecentHost(hostText());
    accept();
}

void THostDialog::chooseDialogClick()
{
    if (!_pickComputer) return;
    const std::optional<std::string> name = _pickComputer(this);
    if (name) _host->setText(QString::fromStdString(*name));
}

std::optional<std::string> askHost(QWidget* parent)
{
    QPointer<THostDialog>& dialog = theDialog();
    if (!dialog) dialog = new THostDialog(parent);
    if (dialog->exec() != QDialog::Accepted) return std::nullopt;
    return dialog->hostText();
}

THostDialog* hostDialog()
{
    return theDialog().data();
}
