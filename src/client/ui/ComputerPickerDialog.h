// A small list of the computers this machine knows, to pick one by name: the platform's answer
// to the network browser of the original system.
#pragma once

#include "platform/ComputerPicker.h"

#include <QDialog>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QDialogButtonBox;
class QLabel;
class QTreeWidget;

// Main thread only. The list is read on a thread of its own (reverse lookups may wait for the
// network's resolver), so the dialog answers at once and fills in when the list is there.
class ComputerPickerDialog : public QDialog {
    Q_OBJECT
public:
    explicit ComputerPickerDialog(QWidget* parent = nullptr, platform::ComputerSources sources = {});
    ~ComputerPickerDialog() override;

    // Shows the dialog modally: the chosen computer's name, or nothing when cancelled.
    static std::optional<std::string> pick(QWidget* parent, platform::ComputerSources sources = {});

    // The name of the selected entry, or nothing.
    std::optional<std::string> selectedName() const;
    QTreeWidget* list() const { return _list; }
    // True once the list has been read.
    bool loaded() const { return _loaded; }

private:
    // Shared with the reading thread, which may outlive the dialog.
    struct Reader {
        std::mutex lock;
        ComputerPickerDialog* dialog = nullptr;  // null once the dialog is going
    };

    void fill(const std::vector<platform::KnownComputer>& computers);
    void updateOk();

    QTreeWidget* _list = nullptr;
    QLabel* _status = nullptr;
    QDialogButtonBox* _buttons = nullptr;
    std::shared_ptr<Reader> _reader;
    bool _loaded = false;
};
