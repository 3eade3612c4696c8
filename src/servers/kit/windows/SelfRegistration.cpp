#include "servers/kit/windows/SelfRegistration.h"

#include "platform/Text.h"

#include <cctype>

namespace servers::kit {

namespace {

class Key {
public:
    Key() = default;
    ~Key()
    {
        if (_key) RegCloseKey(_key);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    PHKEY put() { return &_key; }
    HKEY get() const { return _key; }

private:
    HKEY _key = nullptr;
};

platform::WideString wide(const std::string& text) { return platform::utf8ToUtf16(text); }

LONG writeKey(const RegistryKey& k)
{
    Key key;
    LONG result = RegCreateKeyExW(HKEY_CLASSES_ROOT, wide(k.path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (result != ERROR_SUCCESS) return result;
    for (const RegistryValue& v : k.values) {
        const platform::WideString name = wide(v.name);
        const WCHAR* valueName = v.name.empty() ? nullptr : name.c_str();
        if (const auto* text = std::get_if<std::string>(&v.data)) {
            const platform::WideString data = wide(*text);
            result = RegSetValueExW(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                    static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR)));
        } else {
            const DWORD data = std::get<DWORD>(v.data);
            result = RegSetValueExW(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
        }
        if (result != ERROR_SUCCESS) return result;
    }
    return ERROR_SUCCESS;
}

// The default value of HKEY_CLASSES_ROOT\<path>\CLSID; empty when there is none, "?" when it is
// there but no GUID could be in it.
std::string classOf(const std::string& path)
{
    Key key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, wide(path + "\\CLSID").c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return std::string();
    WCHAR value[64] = {};
    DWORD size = sizeof value - sizeof(WCHAR);
    DWORD type = REG_NONE;
    const LONG result = RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    if (result == ERROR_FILE_NOT_FOUND) return std::string();
    if (result != ERROR_SUCCESS || type != REG_SZ) return "?";
    return platform::utf16ToUtf8(value);
}

// GUIDs in braced form, whatever the case of their hex digits.
bool sameGuid(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

LONG removeClass(const ClassRegistration& c)
{
    const std::string clsid = bracedGuid(c.clsid);
    LONG failure = ERROR_SUCCESS;
    for (const std::string& path : ownedKeys(c)) {
        // A ProgID another server has taken over since is that server's now.
        const bool progId = path != "CLSID\\" + clsid;
        if (progId) {
            const std::string named = classOf(path);
            if (!named.empty() && !sameGuid(named, clsid)) continue;
        }
        const LONG result = RegDeleteTreeW(HKEY_CLASSES_ROOT, wide(path).c_str());
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) failure = result;
    }
    return failure;
}

} // namespace

platform::WideString thisModulePath()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&thisModulePath), &module))
        return platform::WideString();
    // Paths may be longer than MAX_PATH: grow until the name fits.
    platform::WideString path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return platform::WideString();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) return platform::WideString();
        path.resize(path.size() * 2);
    }
}

HRESULT registerServer(std::span<const ClassRegistration> classes, bool describeCategories)
{
    const platform::WideString module = thisModulePath();
    if (module.empty()) return SELFREG_E_CLASS;
    const std::string library = platform::utf16ToUtf8(module);
    const std::string folder = library.substr(0, library.find_last_of("\\/") + 1);

    for (const ClassRegistration& c : classes) {
        removeClass(c);
        const std::string inprocServer = c.library.empty() ? library : folder + c.library;
        for (const RegistryKey& key : registrationKeys(c, inprocServer)) {
            if (writeKey(key) != ERROR_SUCCESS) {
                // Half a registration would name a server that cannot be created: none at all.
                for (const ClassRegistration& written : classes) removeClass(written);
                return SELFREG_E_CLASS;
            }
        }
    }
    if (describeCategories) {
        // Only a description: a server is listed without it, so a failure here fails nothing.
        for (const RegistryKey& key : categoryKeys()) writeKey(key);
    }
    return S_OK;
}

HRESULT unregisterServer(std::span<const ClassRegistration> classes)
{
    HRESULT result = S_OK;
    for (const ClassRegistration& c : classes)
        if (removeClass(c) != ERROR_SUCCESS) result = SELFREG_E_CLASS;
    return result;
}

} // namespace servers::kit
