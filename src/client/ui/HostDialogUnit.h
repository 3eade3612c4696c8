// The question for the name of a remote computer whose OPC servers are to be listed, with a
// computer picker beside the edit field and the last confirmed name remembered per user.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QLineEdit;
class QPushButton;
class QToolButton;

namespace Ui {
class HostDialog;
}

// Main thread only.
class THostDialog : public QDialog {
    Q_OBJECT
public:
    // How a computer is picked: its name, or nothing when the operator cancels. The default is
    // ComputerPickerDialog over this machine's own lists.
    using PickComputer = std::function<std::optional<std::string>(QWidget* parent)>;

    // Runs FormCreate: the edit gets the stored RecentHost.
    explicit THostDialog(QWidget* parent = nullptr);
    ~THostDialog() override;

    void setComputerPicker(PickComputer pick) { _pickComputer = std::move(pick); }

    std::string hostText() const;
    QLineEdit* hostEdit() const { return _host; }
    QToolButton* chooseButton() const { return _chooseDialog; }
    QPushButton* okButton() const { return _ok; }
    QPushButton* cancelButton() const { return _cancel; }

private:
    void formCreate();
    void ok();
    void chooseDialogClick();

    std::unique_ptr<Ui::HostDialog> _ui;
    QLineEdit* _host = nullptr;
    QToolButton* _chooseDialog = nullptr;
    QPushButton* _ok = nullptr;
    QPushButton* _cancel = nullptr;
    PickComputer _pickComputer;
};

// The dialog of the process, HostDialog: created on the first call as a child of parent (and so
// kept until parent goes), shown modally over it; the name when the operator confirmed with
// "Подключиться", otherwise nothing. Main thread.
std::optional<std::string> askHost(QWidget* parent);
// The dialog askHost made, or null before the first call (or after its parent went).
THostDialog* hostDialog();
