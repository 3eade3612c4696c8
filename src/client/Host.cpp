#include "Host.h"

#include "ErrorString.h"
#include "Exception.h"
#include "Logger.h"
#include "WindowMessages.h"
#include "platform/Registry.h"
#include "platform/Text.h"

#include <cstring>

namespace {

constexpr const char* kLocalHost = "(local)";

// Closes a registry key when the walk leaves its scope, however it leaves.
class KeyGuard {
public:
    KeyGuard() = default;
    ~KeyGuard() { close(); }
    KeyGuard(const KeyGuard&) = delete;
    KeyGuard& operator=(const KeyGuard&) = delete;
    PHKEY put() { close(); return &_key; }
    HKEY get() const { return _key; }
    void close()
    {
        if (_key) RegCloseKey(_key);
        _key = nullptr;
    }

private:
    HKEY _key = nullptr;
};

} // namespace

HostConnectThread::HostConnectThread(Host* host) : _host(host)
{
    setFreeOnTerminate(true);
    setOnTerminate([host] {
        host->_thread = nullptr;
        platform::Dispatcher::instance().post(WM_HOST_CONNECTED, reinterpret_cast<WPARAM>(host), 0);
    });
}

void HostConnectThread::execute()
{
    try {
        _host->connect();
    } catch (const Exception& e) {
        _host->_lastError = e.message();
    } catch (...) {
        _host->_lastError = "Неизвестная ошибка";
    }
}

Host::Host(std::string name, std::array<std::uint8_t, 4> address) : _name(std::move(name)), _address(address)
{
    startConnect();
}

void Host::startConnect()
{
    _lastError.clear();
    _thread = new HostConnectThread(this);
    _thread->start();
}

void Host::connect()
{
    LOGG(7, "%s: connect()", _name.c_str());

    HKEY root = HKEY_CLASSES_ROOT;
    KeyGuard remoteRoot;  // only a connected root is closed; the predefined one never is
    if (_name != kLocalHost) {
        const LONG result = RegConnectRegistryA(_name.c_str(), HKEY_CLASSES_ROOT, remoteRoot.put());
        if (result != ERROR_SUCCESS)
            raiseLogged(textf("%s: RegConnectRegistry() Failed: %s", _name.c_str(), ErrorString(result).c_str()));
        root = remoteRoot.get();
    }

    // A server is a key with an "OPC" marker subkey and a "CLSID" subkey whose default value is
    // a braced GUID. Everything else is skipped silently. A key name too long for the buffer is
    // skipped too: ending the walk there would hide every server listed after it. Any other
    // enumeration failure (the end among them) ends the walk.
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        const LONG enumerated = RegEnumKeyExA(root, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (enumerated == ERROR_MORE_DATA) continue;
        if (enumerated != ERROR_SUCCESS) break;
        const std::string key(name, nameSize);

        KeyGuard marker;
        if (RegOpenKeyExA(root, (key + "\\OPC").c_str(), 0, KEY_READ, marker.put()) != ERROR_SUCCESS) continue;
        marker.close();

        KeyGuard clsidKey;
        if (RegOpenKeyExA(root, (key + "\\CLSID").c_str(), 0, KEY_READ, clsidKey.put()) != ERROR_SUCCESS) continue;
        char value[256];
        DWORD valueSize = sizeof value;
        DWORD type = REG_NONE;
        if (RegQueryValueExA(clsidKey.get(), nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(value), &valueSize) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            continue;
        const std::string text(value, strnlen(value, valueSize));
        WCHAR wide[256];
        if (MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 256) == 0) continue;
        GUID clsid;
        if (FAILED(CLSIDFromString(wide, &clsid))) continue;

        LOGG(7, "%s: OPC-server found: %s", _name.c_str(), key.c_str());
        _servers.push_back(OpcServerInfo{key, clsid});
    }
    _listed = true;
}
