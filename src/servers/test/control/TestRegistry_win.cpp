// The system's registry for a test: a key of the test's own under the real HKEY_CURRENT_USER
// stands in for the user root (and for a classes root made of .reg files) through
// RegOverridePredefKey, for every thread of the process, and is deleted at the end.
#include "servers/test/TestRegistry.h"

#include "platform/Text.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace servers::test {

namespace {

constexpr const WCHAR* kTestsKey = L"Software\\Tagvista\\Tests";

[[noreturn]] void fail(const std::string& what, LONG code)
{
    throw std::runtime_error("test registry: " + what + " failed (" + std::to_string(code) + ")");
}

HKEY createKey(HKEY parent, const platform::WideString& path)
{
    HKEY key = nullptr;
    const LONG result =
        RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) fail("creating " + platform::utf16ToUtf8(path), result);
    return key;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes of "hex:00,01,..." after the colon.
std::vector<BYTE> hexBytes(const std::string& text)
{
    std::vector<BYTE> bytes;
    int high = -1;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0) continue;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<BYTE>(high * 16 + digit));
            high = -1;
        }
    }
    return bytes;
}

// What the suite's .reg files use of the format: [HKEY_CLASSES_ROOT\...] keys, default and named
// values as strings, dword: and hex(n): data, comments. Anything else is the test's mistake.
void import(HKEY classes, const std::string& text, const std::string& file)
{
    std::istringstream in(text);
    HKEY current = nullptr;
    int number = 0;
    auto closeCurrent = [&] {
        if (current) RegCloseKey(current);
        current = nullptr;
    };
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string where = file + ":" + std::to_string(number) + ": ";
        if (line.empty() || line[0] == ';' || line == "REGEDIT4" || line == "Windows Registry Editor Version 5.00")
            continue;
        if (line[0] == '[') {
            constexpr std::string_view root = "[HKEY_CLASSES_ROOT\\";
            if (line.back() != ']' || line.compare(0, root.size(), root) != 0)
                throw std::runtime_error(where + "not a key of HKEY_CLASSES_ROOT: " + line);
            closeCurrent();
            current = createKey(classes, platform::utf8ToUtf16(line.substr(root.size(), line.size() - root.size() - 1)));
            continue;
        }
        if (!current) throw std::runtime_error(where + "a value outside a key: " + line);
        std::string name;
        std::size_t at = 0;
        if (line[0] == '@') {
            at = 1;
        } else if (line[0] == '"') {
            const std::size_t end = line.find('"', 1);
            if (end == std::string::npos) throw std::runtime_error(where + "unterminated name: " + line);
            name = line.substr(1, end - 1);
            at = end + 1;
        }
        if (at >= line.size() || line[at] != '=') throw std::runtime_error(where + "not a value: " + line);
        const std::string data = line.substr(at + 1);
        const platform::WideString wideName = platform::utf8ToUtf16(name);
        const WCHAR* valueName = name.empty() ? nullptr : wideName.c_str();
        LONG result = ERROR_SUCCESS;
        if (data.size() >= 2 && data.front() == '"' && data.back() == '"') {
            std::string value;
            for (std::size_t i = 1; i + 1 < data.size(); ++i) {
                if (data[i] == '\\' && i + 2 < data.size()) ++i;
                value += data[i];
            }
            const platform::WideString wide = platform::utf8ToUtf16(value);
            result = RegSetValueExW(current, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                                    static_cast<DWORD>((wide.size() + 1) * sizeof(WCHAR)));
        } else if (data.rfind("dword:", 0) == 0) {
            const DWORD value = static_cast<DWORD>(std::stoul(data.substr(6), nullptr, 16));
            result = RegSetValueExW(current, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        } else if (data.rfind("hex", 0) == 0 && data.find(':') != std::string::npos) {
            DWORD type = REG_BINARY;
            if (data.rfind("hex(", 0) == 0) type = static_cast<DWORD>(std::stoul(data.substr(4), nullptr, 16));
            const std::vector<BYTE> bytes = hexBytes(data.substr(data.find(':') + 1));
            result = RegSetValueExW(current, valueName, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
        } else {
            throw std::runtime_error(where + "data of a kind the test support does not take: " + line);
        }
        if (result != ERROR_SUCCESS) fail(where + "setting a value", result);
    }
    closeCurrent();
}

} // namespace

struct TestRegistry::State {
    explicit State(const std::string* classesFolder)
    {
        // A name no other test process has: the process id and a count.
        static std::atomic<unsigned> count{0};
        name = platform::WideString(kTestsKey) + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++count);
        root = createKey(HKEY_CURRENT_USER, name);
        try {
            fill(classesFolder);
        } catch (...) {
            release();
            throw;
        }
    }
    ~State() { release(); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void fill(const std::string* classesFolder)
    {
        user = createKey(root, L"User");
        if (classesFolder) {
            classes = createKey(root, L"Classes");
            for (const auto& entry : std::filesystem::directory_iterator(*classesFolder)) {
                if (entry.path().extension() != ".reg") continue;
                std::ifstream in(entry.path(), std::ios::binary);
                std::stringstream text;
                text << in.rdbuf();
                import(classes, text.str(), entry.path().filename().string());
            }
            const LONG result = RegOverridePredefKey(HKEY_CLASSES_ROOT, classes);
            if (result != ERROR_SUCCESS) fail("RegOverridePredefKey(HKEY_CLASSES_ROOT)", result);
        }
        const LONG result = RegOverridePredefKey(HKEY_CURRENT_USER, user);
        if (result != ERROR_SUCCESS) fail("RegOverridePredefKey(HKEY_CURRENT_USER)", result);
    }
    void release()
    {
        // The real roots first, so the key is deleted from the real HKEY_CURRENT_USER.
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        if (classes) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        for (HKEY key : {classes, user, root})
            if (key) RegCloseKey(key);
        RegDeleteTreeW(HKEY_CURRENT_USER, name.c_str());
    }

    platform::WideString name;
    HKEY root = nullptr;
    HKEY user = nullptr;
    HKEY classes = nullptr;
};

TestRegistry::TestRegistry() : _state(std::make_unique<State>(nullptr)) {}

TestRegistry::TestRegistry(const std::string& classesFolder) : _state(std::make_unique<State>(&classesFolder)) {}

TestRegistry::~TestRegistry() = default;

} // namespace servers::test
