#include "ComputerPickerDialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <thread>

ComputerPickerDialog::ComputerPickerDialog(QWidget* parent, platform::ComputerSources sources)
    : QDialog(parent), _reader(std::make_shared<Reader>())
{
    setObjectName(QStringLiteral("ComputerPicker"));
    setWindowTitle(QString::fromUtf8("Выбор компьютера"));
    resize(360, 300);

    auto* layout = new QVBoxLayout(this);
    _status = new QLabel(QString::fromUtf8("Поиск компьютеров..."), this);
    layout->addWidget(_status);
    _list = new QTreeWidget(this);
    _list->setObjectName(QStringLiteral("_computers"));
    _list->setColumnCount(2);
    _list->setHeaderLabels({QString::fromUtf8("Компьютер"), QString::fromUtf8("Адрес")});
    _list->setRootIsDecorated(false);
    _list->setUniformRowHeights(true);
    _list->header()->setStretchLastSection(true);
    layout->addWidget(_list);
    _buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(_buttons);

    connect(_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(_list, &QTreeWidget::itemDoubleClicked, this, [this] { accept(); });
    connect(_list, &QTreeWidget::currentItemChanged, this, [this] { updateOk(); });
    updateOk();

    _reader->dialog = this;
    std::weak_ptr<Reader> weak = _reader;
    // Detached: a resolver that keeps it waiting must not keep the dialog (or the program's end)
    // waiting too. It touches nothing but what it shares with the dialog.
    std::thread([weak, sources = std::move(sources)] {
        std::vector<platform::KnownComputer> computers = platform::knownComputers(sources);
        const std::shared_ptr<Reader> reader = weak.lock();
        if (!reader) return;
        std::lock_guard guard(reader->lock);
        if (!reader->dialog) return;
        ComputerPickerDialog* dialog = reader->dialog;
        QMetaObject::invokeMethod(
            dialog, [dialog, computers = std::move(computers)] { dialog->fill(computers); }, Qt::QueuedConnection);
    }).detach();
}

ComputerPickerDialog::~ComputerPickerDialog()
{
    std::lock_guard guard(_reader->lock);
    _reader->dialog = nullptr;
}

void ComputerPickerDialog::fill(const std::vector<platform::KnownComputer>& computers)
{
    _list->clear();
    for (const platform::KnownComputer& computer : computers) {
        auto* item = new QTreeWidgetItem(_list);
        item->setText(0, QString::fromStdString(computer.name));
        item->setText(1, QString::fromStdString(computer.address));
    }
    _list->resizeColumnToContents(0);
    _status->setText(computers.empty() ? QString::fromUtf8("Компьютеры не найдены")
                                       : QString::fromUtf8("Компьютеры, известные этой машине:"));
    _loaded = true;
    if (_list->topLevelItemCount() > 0) _list->setCurrentItem(_list->topLevelItem(0));
    updateOk();
}

void ComputerPickerDialog::updateOk()
{
    _buttons->button(QDialogButtonBox::Ok)->setEnabled(_list->currentItem() != nullptr);
}

std::optional<std::string> ComputerPickerDialog::selectedName() const
{
    const QTreeWidgetItem* item = _list->currentItem();
    if (!item) return std::nullopt;
    return item->text(0).toStdString();
}

std::optional<std::string> ComputerPickerDialog::pick(QWidget* parent, platform::ComputerSources sources)
{
    ComputerPickerDialog dialog(parent, std::move(sources));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.selectedName();
}
