// The user root: changes written through to the user file, exact round trips of every value
// type, whole-file replacement that leaves the old file intact on failure, and concurrent use.

#include "TestRegistrySupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/resource.h>
#include <thread>

using namespace platform;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using regtest::queryValue;
using regtest::subkeyNames;
using regtest::sz;

namespace {

class RegistryUser : public ::testing::Test {
protected:
    void SetUp() override
    {
        _classes.emplace("TAGVISTA_CLASSES_PATH", (_dir / "classes").c_str());
        _config.emplace("XDG_CONFIG_HOME", (_dir / "config").c_str());
        registry::reload();
        _file = registry::userFilePath();
    }

    void TearDown() override
    {
        _classes.reset();
        _config.reset();
        registry::reload();
    }

    HKEY create(HKEY root, const char* path, DWORD* disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                  disposition),
                  ERROR_SUCCESS)
            << path;
        return key;
    }

    static LONG set(HKEY key, const char* name, DWORD type, const std::string& data)
    {
        return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }

    regtest::TempDir _dir;
    std::optional<regtest::ScopedEnv> _classes;
    std::optional<regtest::ScopedEnv> _config;
    std::string _file;
};

// Every write to a file fails while this lives, as on a full disk (a file size limit of 0 binds
// root too, where permissions would not).
class FullDisk {
public:
    FullDisk()
    {
        ::getrlimit(RLIMIT_FSIZE, &_old);
        _oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit none = _old;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_FSIZE, &none);
    }
    ~FullDisk()
    {
        ::setrlimit(RLIMIT_FSIZE, &_old);
        std::signal(SIGXFSZ, _oldHandler);
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

private:
    rlimit _old{};
    void (*_oldHandler)(int) = nullptr;
};

} // namespace

TEST_F(RegistryUser, MissingFileIsAnEmptyRootAndTheFirstChangeCreatesIt)
{
    EXPECT_EQ(_file, _dir / "config/tagvista/user.reg");
    EXPECT_THAT(subkeyNames(HKEY_CURRENT_USER), ElementsAre());
    EXPECT_TRUE(registry::loadDiagnostics().empty());
    EXPECT_FALSE(std::filesystem::exists(_file));

    DWORD disposition = 0;
    HKEY hosts = create(HKEY_CURRENT_USER, "Software\\Tagvista\\Hosts", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ASSERT_TRUE(std::filesystem::exists(_file));
    EXPECT_EQ(regtest::readFile(_file).rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    HKEY again = create(HKEY_CURRENT_USER, "SOFTWARE\\tagvista\\hosts\\", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    RegCloseKey(hosts);

    // Empty keys survive in the file, with the spelling they were created with.
    registry::reload();
    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\TAGVISTA", 0, KEY_READ, &software), ERROR_SUCCESS);
    EXPECT_THAT(subkeyNames(software), ElementsAre("Hosts"));
    EXPECT_THAT(subkeyNames(HKEY_CURRENT_USER), ElementsAre("Software"));
    RegCloseKey(software);
}

TEST_F(RegistryUser, EveryValueTypeRoundTripsThroughTheFile)
{
    struct Case {
        const char* name;
        DWORD type;
        std::string data;
    };
    const std::vector<Case> cases = {
        {"", REG_SZ, sz("default")},
        {"Host", REG_SZ, sz("opc-01")},
        {"Quote\"and\\back", REG_SZ, sz("C:\\Program Files\\\"x\"")},
        {"Lines", REG_SZ, sz("Gr\xC3\xBC\xC3\x9F" "e\r\nzwei \xF0\x9F\x98\x80")},
        {"Unterminated", REG_SZ, "abc"},
        {"Expand", REG_EXPAND_SZ, sz("%HOME%/x")},
        {"Multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
        {"Binary", REG_BINARY, std::string("\x00\xff\x10", 3)},
        {"EmptyBinary", REG_BINARY, ""},
        {"Dword", REG_DWORD, std::string("\x1f\x00\x00\x80", 4)},
        {"BigEndian", REG_DWORD_BIG_ENDIAN, std::string("\x00\x00\x00\x01", 4)},
        {"Qword", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {"None", REG_NONE, ""},
        {"Custom", 0x4000, std::string(200, '\x5a')},
    };
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Tagvista\\Values");
    for (const Case& c : cases)
        ASSERT_EQ(set(key, c.name, c.type, c.data), ERROR_SUCCESS) << c.name;
    RegCloseKey(key);
    std::string text = regtest::readFile(_file);
    EXPECT_THAT(text, HasSubstr("[HKEY_CURRENT_USER\\Software\\Tagvista\\Values]\n"));
    EXPECT_THAT(text, HasSubstr("\"Host\"=\"opc-01\"\n"));
    EXPECT_THAT(text, HasSubstr("\"Dword\"=dword:8000001f\n"));

    registry::reload();
    EXPECT_TRUE(registry::loadDiagnostics().empty()) << ::testing::PrintToString(registry::loadDiagnostics());
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tagvista\\Values", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    for (const Case& c : cases) {
        DWORD type = 0;
        EXPECT_EQ(queryValue(key, c.name, &type), c.data) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    // The file written from the reloaded tree is the same file.
    HKEY touch = create(key, "Touch");
    ASSERT_EQ(RegDeleteValueA(touch, "absent"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    RegCloseKey(touch);
    EXPECT_EQ(regtest::readFile(_file), text + "\n[HKEY_CURRENT_USER\\Software\\Tagvista\\Values\\Touch]\n");
    RegCloseKey(key);
}

TEST_F(RegistryUser, DeletedValuesStayDeleted)
{
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Tagvista");
    ASSERT_EQ(set(key, "keep", REG_SZ, sz("1")), ERROR_SUCCESS);
    ASSERT_EQ(set(key, "drop", REG_SZ, sz("2")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "DROP"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "drop"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    RegCloseKey(key);
    registry::reload();
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tagvista", 0, KEY_READ, &key), ERROR_SUCCESS);
    LONG error = 0;
    EXPECT_EQ(queryValue(key, "drop", nullptr, &error), std::nullopt);
    EXPECT_EQ(error, static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(queryValue(key, "keep"), sz("1"));
    RegCloseKey(key);
}

TEST_F(RegistryUser, FailedRewriteLeavesTheFileAndTheMemoryAsTheyWere)
{
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Tagvista");
    ASSERT_EQ(set(key, "a", REG_SZ, sz("1")), ERROR_SUCCESS);
    const std::string before = regtest::readFile(_file);

    HKEY sub = nullptr;
    {
        FullDisk full;
        EXPECT_EQ(set(key, "a", REG_SZ, sz("2")), static_cast<LONG>(ERROR_WRITE_FAULT));
        EXPECT_EQ(set(key, "new", REG_DWORD, std::string(4, '\0')), static_cast<LONG>(ERROR_WRITE_FAULT));
        EXPECT_EQ(RegDeleteValueA(key, "a"), static_cast<LONG>(ERROR_WRITE_FAULT));
        EXPECT_EQ(RegCreateKeyExA(key, "Sub\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
                  static_cast<LONG>(ERROR_WRITE_FAULT));
    }
    EXPECT_EQ(sub, nullptr);
    // The temporary files of the failed writes are gone.
    EXPECT_THAT(regtest::folderEntries(_dir / "config/tagvista"), ElementsAre("user.reg"));

    EXPECT_EQ(regtest::readFile(_file), before);
    EXPECT_EQ(queryValue(key, "a"), sz("1"));
    LONG error = 0;
    EXPECT_EQ(queryValue(key, "new", nullptr, &error), std::nullopt);
    EXPECT_EQ(error, static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_THAT(subkeyNames(key), ElementsAre());

    EXPECT_EQ(set(key, "a", REG_SZ, sz("2")), ERROR_SUCCESS);
    RegCloseKey(key);
    registry::reload();
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tagvista", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(queryValue(key, "a"), sz("2"));
    EXPECT_THAT(regtest::folderEntries(_dir / "config/tagvista"), ElementsAre("user.reg"));
    RegCloseKey(key);
}

TEST_F(RegistryUser, ConfigFolderThatIsAFileFailsEveryChange)
{
    regtest::writeFile(_dir / "config/tagvista", "in the way");
    registry::reload();
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              static_cast<LONG>(ERROR_WRITE_FAULT));
    EXPECT_EQ(set(HKEY_CURRENT_USER, "v", REG_SZ, sz("x")), static_cast<LONG>(ERROR_WRITE_FAULT));
    EXPECT_THAT(subkeyNames(HKEY_CURRENT_USER), ElementsAre());
    LONG error = 0;
    EXPECT_EQ(queryValue(HKEY_CURRENT_USER, "v", nullptr, &error), std::nullopt);
    EXPECT_EQ(regtest::readFile(_dir / "config/tagvista"), "in the way");
}

TEST_F(RegistryUser, RefusedChanges)
{
    HKEY key = create(HKEY_CURRENT_USER, "Software");
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    EXPECT_EQ(set(readOnly, "v", REG_SZ, sz("x")), static_cast<LONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RegDeleteValueA(readOnly, "v"), static_cast<LONG>(ERROR_ACCESS_DENIED));
    HKEY out = nullptr;
    EXPECT_EQ(RegCreateKeyExA(readOnly, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
    // Names that the file could not hold.
    EXPECT_EQ(set(key, "two\nlines", REG_SZ, sz("x")), static_cast<LONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegCreateKeyExA(key, "two\nlines", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
              static_cast<LONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegCreateKeyExA(key, "\\Abs", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
              static_cast<LONG>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_BINARY, nullptr, 4), static_cast<LONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &out, nullptr),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
    std::string deep = "d";
    for (unsigned i = 1; i < 512; ++i)
        deep += "\\d";
    EXPECT_EQ(RegCreateKeyExA(key, deep.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
              static_cast<LONG>(ERROR_INVALID_PARAMETER));
    EXPECT_THAT(subkeyNames(key), ElementsAre());

    // A handle from before a reload reads its old keys but can no longer change the file.
    registry::reload();
    EXPECT_EQ(set(key, "v", REG_SZ, sz("x")), static_cast<LONG>(ERROR_KEY_DELETED));
    EXPECT_THAT(subkeyNames(key), ElementsAre());
    RegCloseKey(readOnly);
    RegCloseKey(key);
}

TEST_F(RegistryUser, MalformedUserFileLoadsWhatIsGood)
{
    regtest::writeFile(_file, "Windows Registry Editor Version 5.00\n"
                              "[HKEY_CURRENT_USER\\Software\\Tagvista]\n"
                              "\"a\"=dword:xyz\n"
                              "\"b\"=\"ok\"\n"
                              "[HKEY_CLASSES_ROOT\\Elsewhere]\n");
    registry::reload();
    std::vector<std::string> diagnostics = registry::loadDiagnostics();
    ASSERT_EQ(diagnostics.size(), 2u);
    EXPECT_THAT(diagnostics[0], HasSubstr(_file + ":3: "));
    EXPECT_THAT(diagnostics[1], HasSubstr(_file + ":5: "));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tagvista", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(queryValue(key, "b"), sz("ok"));
    RegCloseKey(key);
}

TEST_F(RegistryUser, ReadersWalkBothRootsWhileAnotherThreadWrites)
{
    std::string classes = "Windows Registry Editor Version 5.00\n";
    for (int i = 0; i < 100; ++i)
        classes += "[HKCR\\Class" + std::to_string(i) + "]\n@=\"Class" + std::to_string(i) + "\"\n";
    regtest::writeFile(_dir / "classes/many.reg", classes);
    registry::reload();

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    auto reader = [&](int* passes) {
        do {
            // The classes root: every key and its default value, through handles opened here.
            std::vector<std::string> names = subkeyNames(HKEY_CLASSES_ROOT);
            if (names.size() != 100)
                ++failures;
            for (const std::string& name : names) {
                HKEY key = nullptr;
                if (RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                if (queryValue(key, nullptr) != sz(name))
                    ++failures;
                RegCloseKey(key);
            }
            // The user root as it changes: each value holds its own name.
            HKEY user = nullptr;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tagvista", 0, KEY_READ, &user) == ERROR_SUCCESS) {
                for (DWORD i = 0;; ++i) {
                    char name[64];
                    DWORD nameSize = sizeof name;
                    char data[64];
                    DWORD dataSize = sizeof data;
                    LONG rc = RegEnumValueA(user, i, name, &nameSize, nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(data), &dataSize);
                    if (rc != ERROR_SUCCESS)
                        break;
                    if (std::string(data, dataSize) != sz(name))
                        ++failures;
                }
                subkeyNames(user);
                RegCloseKey(user);
            }
            ++*passes;
        } while (!done);
    };
    int passes[3] = {};
    std::vector<std::thread> readers;
    for (int& p : passes)
        readers.emplace_back(reader, &p);

    for (int i = 0; i < 60; ++i) {
        HKEY key = create(HKEY_CURRENT_USER, "Software\\Tagvista");
        std::string name = "v" + std::to_string(i);
        EXPECT_EQ(set(key, name.c_str(), REG_SZ, sz(name)), ERROR_SUCCESS);
        if (i % 3 == 0) {
            std::string old = "v" + std::to_string(i / 2);
            RegDeleteValueA(key, old.c_str());
        }
        if (i % 10 == 0)
            RegCloseKey(create(key, ("Sub" + std::to_string(i)).c_str()));
        RegCloseKey(key);
        if (i % 20 == 19)
            registry::reload();
    }
    done = true;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int p : passes)
        EXPECT_GT(p, 0);
}
