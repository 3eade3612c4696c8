#include "client/form/UserSettings.h"

#include "platform/Registry.h"

#include <chrono>
#include <cstdlib>

namespace settings {

namespace {

// Closes the key however the caller leaves.
class Key {
public:
    ~Key()
    {
        if (_key) RegCloseKey(_key);
    }
    PHKEY put() { return &_key; }
    HKEY get() const { return _key; }

private:
    HKEY _key = nullptr;
};

// RegOpenKeyExA takes the path below the hive, without the stored form's leading backslash.
std::string subKey()
{
    return keyPath().substr(1);
}

} // namespace

const std::string& executablePath()
{
    static const std::string path = readExecutablePath();
    return path;
}

std::string fileNameOf(const std::string& path)
{
    const std::size_t separator = path.find_last_of(kPathSeparators);
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

const std::string& executableFileName()
{
    static const std::string name = fileNameOf(executablePath());
    return name;
}

std::string keyPath()
{
    return "\\Software\\Quellmark\\" + executableFileName();
}

std::optional<std::string> readString(const char* valueName)
{
    Key key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey().c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    std::string data(size, '\0');
    if (size > 0 &&
        RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size) !=
            ERROR_SUCCESS)
        return std::nullopt;
    data.resize(size);
    // The stored size counts the terminator; a value written without one has none to cut.
    const std::size_t end = data.find('\0');
    if (end != std::string::npos) data.resize(end);
    return data;
}

bool writeString(const char* valueName, const std::string& text)
{
    Key key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, subKey().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

std::string recentHost()
{
    try {
        return readString("RecentHost").value_or(std::string());
    } catch (const std::exception&) {
        return {};
    }
}

void rememberRecentHost(const std::string& text)
{
    try {
        writeString("RecentHost", text);
    } catch (const std::exception&) {
        // Not remembered; nothing to tell.
    }
}

OPC_Connection::Timing connectionTiming()
{
    OPC_Connection::Timing timing;
    const auto read = [](const char* name, std::chrono::milliseconds& target) {
        const std::optional<std::string> text = readString(name);
        if (!text) return;
        char* end = nullptr;
        const double seconds = std::strtod(text->c_str(), &end);
        if (end == text->c_str() || *end != '\0' || !(seconds >= 0 && seconds <= 3600)) return;
        target = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    };
    read("ConnectTimeoutSeconds", timing.connectStep);
    read("DisconnectTimeoutSeconds", timing.disconnectStep);
    read("StatusIntervalSeconds", timing.statusInterval);
    return timing;
}

AgentCommands agentCommands()
{
    try {
        return {readString("SshCommand").value_or(std::string()), readString("AgentCommand").value_or(std::string())};
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace settings
