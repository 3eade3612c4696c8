#include "UiTestSupport.h"

#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "platform/Guid.h"
#include "servers/test/TestServerPaths.h"
#include "client/form/UserSettings.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace uitest {

std::vector<std::pair<const char*, TestFactory>>& testClasses()
{
    static std::vector<std::pair<const char*, TestFactory>> classes;
    return classes;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

namespace {

std::optional<std::string> getEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void restoreEnv(const char* name, const std::optional<std::string>& value)
{
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
}

std::string testServerLibrary()
{
    return std::filesystem::canonical(std::filesystem::path(TAGVISTA_LIBRARY_DIR) / "libtagvista-testservers.so").string();
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

} // namespace

TestEnvironment::TestEnvironment(const std::vector<servers::test::Fault>& faults, bool shipped)
    : _oldClasses(getEnv("TAGVISTA_CLASSES_PATH")), _oldConfig(getEnv("XDG_CONFIG_HOME"))
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tagvista-ui-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    _folder = pattern;
    std::filesystem::create_directories(_folder / "classes");
    std::filesystem::create_directories(_folder / "config");

    // Only the servers a test names are listed, in the order the registry enumerates them.
    std::string reg = "Windows Registry Editor Version 5.00\n\n";
    const std::string library = escaped(testServerLibrary());
    for (const servers::test::Fault fault : faults) {
        const std::string progId = servers::test::progIdOf(fault);
        const std::string clsid = platform::guidToString(servers::test::clsidOf(fault));
        reg += "[HKEY_CLASSES_ROOT\\" + progId + "\\CLSID]\n@=\"" + clsid + "\"\n\n";
        reg += "[HKEY_CLASSES_ROOT\\" + progId + "\\OPC]\n\n";
        reg += "[HKEY_CLASSES_ROOT\\CLSID\\" + clsid + "\\InprocServer32]\n@=\"" + library + "\"\n\n";
    }
    std::ofstream(_folder / "classes" / "servers.reg") << reg;

    std::string classes = (_folder / "classes").string();
    if (shipped) classes += std::string(":") + servers::test::kShippedClassesDir;
    ::setenv("TAGVISTA_CLASSES_PATH", classes.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (_folder / "config").c_str(), 1);
    platform::registry::reload();
    setHangMilliseconds(300);
}

TestEnvironment::~TestEnvironment()
{
    restoreEnv("TAGVISTA_CLASSES_PATH", _oldClasses);
    restoreEnv("XDG_CONFIG_HOME", _oldConfig);
    platform::registry::reload();
    std::error_code ignored;
    std::filesystem::remove_all(_folder, ignored);
}

void TestEnvironment::setHangMilliseconds(DWORD milliseconds)
{
    setDword(servers::test::kHangKey, servers::test::kHangValue, milliseconds);
}

void TestEnvironment::setDword(const char* keyPath, const char* name, DWORD value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create a test key");
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

std::optional<std::string> storedSetting(const char* name, DWORD* type)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settings::keyPath().substr(1).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD kind = 0;
    DWORD size = 0;
    std::optional<std::string> result;
    if (RegQueryValueExA(key, name, nullptr, &kind, nullptr, &size) == ERROR_SUCCESS) {
        std::string data(size, '\0');
        if (RegQueryValueExA(key, name, nullptr, &kind, reinterpret_cast<BYTE*>(data.data()), &size) ==
            ERROR_SUCCESS) {
            data.resize(size);
            if (kind == REG_SZ && !data.empty() && data.back() == '\0') data.pop_back();
            result = data;
            if (type) *type = kind;
        }
    }
    RegCloseKey(key);
    return result;
}

void storeSetting(const char* name, const std::string& text)
{
    if (!settings::writeString(name, text)) throw std::runtime_error("cannot store a setting");
}

void storeDwordSetting(const char* name, DWORD value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, settings::keyPath().substr(1).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create the settings key");
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

QTreeWidgetItem* nodeAt(QTreeWidget* tree, const std::vector<QString>& path)
{
    QTreeWidgetItem* node = nullptr;
    for (const QString& caption : path) {
        QTreeWidgetItem* found = nullptr;
        const int count = node ? node->childCount() : tree->topLevelItemCount();
        for (int i = 0; i < count && !found; ++i) {
            QTreeWidgetItem* candidate = node ? node->child(i) : tree->topLevelItem(i);
            if (candidate->text(0) == caption) found = candidate;
        }
        if (!found) return nullptr;
        node = found;
    }
    return node;
}

QStringList childCaptions(const QTreeWidgetItem* node)
{
    QStringList captions;
    for (int i = 0; i < node->childCount(); ++i) captions << node->child(i)->text(0);
    return captions;
}

QTreeWidgetItem* statusChild(const QTreeWidgetItem* node)
{
    for (int i = 0; i < node->childCount(); ++i)
        if (TMainForm::kindOf(node->child(i)) == TMainForm::NodeKind::Status) return node->child(i);
    return nullptr;
}

QStringList tableColumn(const ItemTableModel* model, int column)
{
    QStringList texts;
    for (int row = 0; row < model->rowCount(); ++row) texts << model->index(row, column).data().toString();
    return texts;
}

ListedWindow openListedWindow()
{
    ListedWindow listed;
    listed.window = std::make_unique<TMainForm>();
    listed.window->show();
    listed.local = listed.window->tree()->topLevelItem(0);
    waitFor([&] { return statusChild(listed.local) == nullptr; });
    return listed;
}

void select(TMainForm& window, QTreeWidgetItem* node)
{
    QTreeWidget* tree = window.tree();
    if (!node) {
        // Below the last node: empty space.
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, QPoint(5, tree->viewport()->height() - 2));
        return;
    }
    tree->scrollToItem(node);
    const QRect rect = tree->visualItemRect(node);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
}

void trigger(TMainForm& window, QAction* action)
{
    window.updateActions();
    if (action->isEnabled()) action->trigger();
}

OPC_Connection* connectionOf(QTreeWidgetItem* node)
{
    return TMainForm::connectionOf(node);
}

bool connectAndWait(TMainForm& window, QTreeWidgetItem* server)
{
    select(window, server);
    trigger(window, window.connectAction());
    OPC_Connection* connection = connectionOf(server);
    return waitFor([&] { return connection->connected(); });
}

LogCapture::LogCapture(const std::filesystem::path& folder)
    : _file((folder / "capture.log").string()), _oldFile(logg::Logger::instance().fileName()),
      _oldLevel(logg::Logger::instance().level())
{
    logg::Logger::instance().setFileName(_file);
    logg::Logger::instance().setLevel(7);
}

LogCapture::~LogCapture()
{
    logg::Logger::instance().setLevel(_oldLevel);
    logg::Logger::instance().setFileName(_oldFile);
}

std::string LogCapture::text() const
{
    std::ifstream in(_file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace uitest
