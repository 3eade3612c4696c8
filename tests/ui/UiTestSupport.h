// Shared helpers of the window tests: a test's own registry (user settings and registered
// servers in a temporary folder), waiting with deadlines, and finding nodes and rows. Test
// (main) thread only.
#pragma once

#include "ItemTableModel.h"
#include "MainFormUnit.h"
#include "client/Host.h"
#include "client/OPC_Connection.h"
#include "platform/RegistryFiles.h"
#include "servers/test/TestServers.h"

#include <QObject>
#include <QString>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace uitest {

// The test classes of the binary, run one after another by its main().
using TestFactory = std::function<QObject*()>;
std::vector<std::pair<const char*, TestFactory>>& testClasses();

#define UI_TEST_CLASS(Class)                                                                       \
    static const bool registered##Class = [] {                                                     \
        ::uitest::testClasses().emplace_back(#Class, [] { return static_cast<QObject*>(new Class); }); \
        return true;                                                                               \
    }()

// Generous: the deadlines only end a test that would otherwise hang.
constexpr int kDeadlineMs = 20000;

// Runs the event loop (and so the dispatcher's drains) until the condition holds or the
// deadline passes; the condition's value at the end.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = kDeadlineMs);

// A temporary folder for settings and registrations, with the environment pointed at it for the
// test's lifetime and the registry reloaded at both ends. The registered servers are the test
// servers named (by their fault), plus the shipped simulation and scale servers when asked.
class TestEnvironment {
public:
    explicit TestEnvironment(const std::vector<servers::test::Fault>& faults, bool shipped = false);
    ~TestEnvironment();
    TestEnvironment(const TestEnvironment&) = delete;
    TestEnvironment& operator=(const TestEnvironment&) = delete;

    const std::filesystem::path& folder() const { return _folder; }
    // HKEY_CURRENT_USER\Software\Tagvista\TestServer "HangMilliseconds".
    void setHangMilliseconds(DWORD milliseconds);
    // A DWORD under HKEY_CURRENT_USER\<key>.
    void setDword(const char* key, const char* name, DWORD value);

private:
    std::filesystem::path _folder;
    std::optional<std::string> _oldClasses;
    std::optional<std::string> _oldConfig;
};

// The program's settings value as stored, or nothing; and its writers.
std::optional<std::string> storedSetting(const char* name, DWORD* type = nullptr);
void storeSetting(const char* name, const std::string& text);
void storeDwordSetting(const char* name, DWORD value);

// Nodes by their caption path from a root, e.g. {"(local)", "Tagvista.Test.Good", "X"}.
QTreeWidgetItem* nodeAt(QTreeWidget* tree, const std::vector<QString>& path);
QStringList childCaptions(const QTreeWidgetItem* node);
// The status child of a node, or null.
QTreeWidgetItem* statusChild(const QTreeWidgetItem* node);
// The table's column of texts, top to bottom.
QStringList tableColumn(const ItemTableModel* model, int column);

// A shown main window whose local host has been listed.
struct ListedWindow {
    std::unique_ptr<TMainForm> window;
    QTreeWidgetItem* local = nullptr;
};
ListedWindow openListedWindow();

// Selects a node as a click would, and runs the action the way its menu entry does.
void select(TMainForm& window, QTreeWidgetItem* node);
void trigger(TMainForm& window, QAction* action);

// Connects the server node (by Connect) and waits until it is connected and idle.
bool connectAndWait(TMainForm& window, QTreeWidgetItem* server);
OPC_Connection* connectionOf(QTreeWidgetItem* node);

// The log lines written while it lives (threshold 7, into a file of the environment's folder).
class LogCapture {
public:
    explicit LogCapture(const std::filesystem::path& folder);
    ~LogCapture();
    std::string text() const;

private:
    std::string _file;
    std::string _oldFile;
    int _oldLevel;
};

} // namespace uitest
