// The layer's functions behind the gateway's names (platform/AgentRouting.h): a computer written
// "ssh:name" goes to its agent, everything else to the system's function of the same name.
#include "platform/Platform.h"
#include "platform/remote/AgentHosts.h"
#include "platform/remote/RemoteObjects.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

// Below, the names are the system's own again.
#undef RegConnectRegistryA
#undef RegOpenKeyExA
#undef RegEnumKeyExA
#undef RegQueryValueExA
#undef RegCloseKey
#undef CoCreateInstanceEx
#undef FormatMessageA

namespace platform::routed {

namespace {

using remote::RemoteServerKey;

// A key of a remote computer's classes root as its agent listed it: the root, a server's key,
// or its "OPC" or "CLSID" subkey. Read only; all a walk of the root opens.
struct RemoteKey {
    enum class Part { Root, Server, Marker, Clsid };
    std::shared_ptr<const std::vector<RemoteServerKey>> servers;
    Part part = Part::Root;
    std::size_t server = 0;  // of Server, Marker and Clsid

    const RemoteServerKey& entry() const { return (*servers)[server]; }
};

// The handles handed out for remote keys: each is the address of its key, which no handle of
// the system's can be while the key lives.
struct RemoteKeys {
    std::mutex mutex;
    std::map<HKEY, std::shared_ptr<RemoteKey>> open;
};

RemoteKeys& remoteKeys()
{
    static RemoteKeys* const keys = new RemoteKeys;  // lives to the end: keys may close at exit
    return *keys;
}

HKEY handOut(RemoteKey key)
{
    auto held = std::make_shared<RemoteKey>(std::move(key));
    const HKEY handle = reinterpret_cast<HKEY>(held.get());
    std::lock_guard lock(remoteKeys().mutex);
    remoteKeys().open.emplace(handle, std::move(held));
    return handle;
}

std::shared_ptr<RemoteKey> remoteKeyOf(HKEY handle)
{
    std::lock_guard lock(remoteKeys().mutex);
    const auto found = remoteKeys().open.find(handle);
    return found == remoteKeys().open.end() ? nullptr : found->second;
}

// The subkeys of a key, in the order a walk finds them.
std::vector<std::string> subkeysOf(const RemoteKey& key)
{
    std::vector<std::string> names;
    if (key.part == RemoteKey::Part::Root) {
        for (const RemoteServerKey& server : *key.servers) names.push_back(server.name);
    } else if (key.part == RemoteKey::Part::Server) {
        names.push_back("OPC");
        if (key.entry().hasClsid) names.push_back("CLSID");
    }
    return names;
}

// The key a path below key names; false when there is none.
bool descend(RemoteKey& key, const std::string& path)
{
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        if (key.part == RemoteKey::Part::Root) {
            bool found = false;
            for (std::size_t i = 0; i < key.servers->size() && !found; ++i) {
                if (!equalNoCase((*key.servers)[i].name, part)) continue;
                key.part = RemoteKey::Part::Server;
                key.server = i;
                found = true;
            }
            if (!found) return false;
        } else if (key.part == RemoteKey::Part::Server && equalNoCase(part, "OPC")) {
            key.part = RemoteKey::Part::Marker;
        } else if (key.part == RemoteKey::Part::Server && equalNoCase(part, "CLSID") && key.entry().hasClsid) {
            key.part = RemoteKey::Part::Clsid;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

LONG WINAPI RegConnectRegistryA(LPCSTR machineName, HKEY key, PHKEY result)
{
    const std::string host = remote::sshWrittenHost(machineName ? machineName : "");
    if (host.empty()) return ::RegConnectRegistryA(machineName, key, result);
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    // Another computer's root comes from the agent there, through ssh; only its classes.
    if (key != HKEY_CLASSES_ROOT) return ERROR_BAD_NETPATH;
    auto servers = std::make_shared<std::vector<RemoteServerKey>>();
    std::string error;
    if (!remote::listRemoteServers(host, *servers, error)) {
        // The caller's text names the computer already.
        remote::setFailureDetail(ERROR_BAD_NETPATH, remote::causeWithoutHost(host, error));
        return ERROR_BAD_NETPATH;
    }
    remote::clearFailureDetail();
    RemoteKey root;
    root.servers = std::move(servers);
    *result = handOut(std::move(root));
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    const std::shared_ptr<RemoteKey> remoteKey = remoteKeyOf(key);
    if (!remoteKey) return ::RegOpenKeyExA(key, subKey, options, access, result);
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_DAC | WRITE_OWNER)) return ERROR_ACCESS_DENIED;
    RemoteKey opened = *remoteKey;
    if (!descend(opened, subKey ? subKey : "")) return ERROR_FILE_NOT_FOUND;
    *result = handOut(std::move(opened));
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPSTR className,
                          LPDWORD classSize, PFILETIME lastWritten)
{
    const std::shared_ptr<RemoteKey> remoteKey = remoteKeyOf(key);
    if (!remoteKey)
        return ::RegEnumKeyExA(key, index, name, nameSize, reserved, className, classSize, lastWritten);
    if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
    const std::vector<std::string> names = subkeysOf(*remoteKey);
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& found = names[index];
    if (found.size() + 1 > *nameSize) return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *nameSize = static_cast<DWORD>(found.size());
    if (className && classSize && *classSize > 0) className[0] = '\0';
    if (classSize) *classSize = 0;
    if (lastWritten) *lastWritten = FILETIME{};
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    const std::shared_ptr<RemoteKey> remoteKey = remoteKeyOf(key);
    if (!remoteKey) return ::RegQueryValueExA(key, valueName, reserved, type, data, size);
    // The one value a walk reads: the default value of a server's "CLSID" key.
    if (remoteKey->part != RemoteKey::Part::Clsid || (valueName && *valueName) || remoteKey->entry().clsidType == 0)
        return ERROR_FILE_NOT_FOUND;
    if (data && !size) return ERROR_INVALID_PARAMETER;
    const RemoteServerKey& entry = remoteKey->entry();
    const DWORD length = static_cast<DWORD>(entry.clsidData.size());
    if (type) *type = entry.clsidType;
    if (!data) {
        if (size) *size = length;
        return ERROR_SUCCESS;
    }
    const DWORD room = *size;
    *size = length;
    if (room < length) return ERROR_MORE_DATA;
    if (length > 0) std::memcpy(data, entry.clsidData.data(), length);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key)
{
    {
        std::lock_guard lock(remoteKeys().mutex);
        if (remoteKeys().open.erase(key) > 0) return ERROR_SUCCESS;
    }
    return ::RegCloseKey(key);
}

HRESULT WINAPI CoCreateInstanceEx(REFCLSID clsid, IUnknown* outer, DWORD context, COSERVERINFO* serverInfo, DWORD count,
                                  MULTI_QI* results)
{
    const std::string host = serverInfo && serverInfo->pwszName
                                 ? remote::sshWrittenHost(utf16ToUtf8(WideStringView(serverInfo->pwszName)))
                                 : std::string();
    if (host.empty()) return ::CoCreateInstanceEx(clsid, outer, context, serverInfo, count, results);
    // Another computer's server is created by the agent there.
    return remote::createRemoteInstance(host, clsid, outer, context, count, results);
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                            va_list* arguments)
{
    const DWORD length = ::FormatMessageA(flags, source, messageId, languageId, buffer, size, arguments);
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) return length;
    // A remote computer's failure names its cause (ssh's message, the agent's) after the code's
    // sentence, as the Linux layer's texts do; a code the system has no sentence for (Wine lacks
    // some) gets the cause alone.
    const std::string detail = remote::failureDetail(messageId);
    if (detail.empty()) return length;
    const bool allocated = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    std::string sentence = detail + "\r\n";
    if (length > 0) {
        sentence.assign(allocated ? *reinterpret_cast<LPSTR*>(buffer) : buffer, length);
        std::size_t end = sentence.size();
        while (end > 0 && std::strchr(" \r\n", sentence[end - 1])) --end;
        sentence = sentence.substr(0, end) + " (" + detail + ")" + sentence.substr(end);
    }
    if (allocated) {
        const HLOCAL grown = LocalAlloc(LMEM_FIXED, sentence.size() + 1);
        if (!grown) return length;  // the system's text, without the cause
        std::memcpy(grown, sentence.c_str(), sentence.size() + 1);
        if (length > 0) LocalFree(*reinterpret_cast<LPSTR*>(buffer));
        *reinterpret_cast<LPSTR*>(buffer) = static_cast<LPSTR>(grown);
    } else {
        if (sentence.size() + 1 > size) return length;
        std::memcpy(buffer, sentence.c_str(), sentence.size() + 1);
    }
    return static_cast<DWORD>(sentence.size());
}

} // namespace platform::routed
