// The classes root through the Win32 functions: merging of the classes path, enumeration order,
// value origins, the size rules of the ANSI functions, handles, and the search paths.

#include "TestRegistrySupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace platform;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using regtest::queryValue;
using regtest::subkeyNames;
using regtest::sz;

namespace {

const char* const header = "Windows Registry Editor Version 5.00\n";

class RegistryClasses : public ::testing::Test {
protected:
    void SetUp() override
    {
        _classes.emplace("TAGVISTA_CLASSES_PATH", (_dir / "one" + ":" + _dir / "two").c_str());
        _config.emplace("XDG_CONFIG_HOME", (_dir / "config").c_str());
    }

    void TearDown() override
    {
        _classes.reset();
        _config.reset();
        registry::reload();
    }

    void write(const std::string& relative, const std::string& text) { regtest::writeFile(_dir / relative, text); }

    HKEY open(HKEY root, const char* path, REGSAM access = KEY_READ)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(root, path, 0, access, &key), ERROR_SUCCESS) << path;
        return key;
    }

    regtest::TempDir _dir;
    std::optional<regtest::ScopedEnv> _classes;
    std::optional<regtest::ScopedEnv> _config;
};

} // namespace

TEST_F(RegistryClasses, MergesTheFoldersInOrderAndFilesByName)
{
    write("one/b.reg", std::string(header) + "[HKEY_CLASSES_ROOT\\Server.B]\n@=\"from one/b\"\n"
                                             "[HKCR\\Shared]\n\"who\"=\"one/b\"\n\"order\"=\"b\"\n");
    write("one/a.reg", std::string(header) + "[HKCR\\Shared]\n\"who\"=\"one/a\"\n\"onlyA\"=\"a\"\n\"order\"=\"a\"\n"
                                             "[HKCR\\Doomed\\Child]\n"
                                             "[HKCR\\Alpha]\n[HKCR\\alpha2]\n[HKCR\\ALPHA_1]\n[HKCR\\a9]\n"
                                             "[HKCR\\_Under]\n[HKCR\\zeta]\n");
    write("one/notes.txt", "not a registry file, and not read\n");
    std::filesystem::create_directories(_dir / "one/folder.reg");
    write("two/a.reg", std::string(header) + "[-HKCR\\doomed]\n[HKCR\\Shared]\n\"who\"=\"two/a\"\n"
                                             "[HKCR\\server.b]\n\"extra\"=\"x\"\n");
    registry::reload();

    EXPECT_TRUE(registry::loadDiagnostics().empty()) << ::testing::PrintToString(registry::loadDiagnostics());
    EXPECT_THAT(subkeyNames(HKEY_CLASSES_ROOT),
                ElementsAre("a9", "Alpha", "alpha2", "ALPHA_1", "Server.B", "Shared", "zeta", "_Under"));
    HKEY shared = open(HKEY_CLASSES_ROOT, "SHARED");
    EXPECT_EQ(queryValue(shared, "who"), sz("two/a"));
    EXPECT_EQ(queryValue(shared, "order"), sz("b"));
    EXPECT_EQ(queryValue(shared, "onlyA"), sz("a"));
    HKEY server = open(HKEY_CLASSES_ROOT, "server.B");
    EXPECT_EQ(queryValue(server, nullptr), sz("from one/b"));
    EXPECT_EQ(queryValue(server, "extra"), sz("x"));

    // Each value knows the folder of the file that declared it last.
    std::string folder;
    ASSERT_TRUE(registry::valueOrigin(shared, "who", folder));
    EXPECT_EQ(folder, _dir / "two");
    ASSERT_TRUE(registry::valueOrigin(shared, "ONLYA", folder));
    EXPECT_EQ(folder, _dir / "one");
    EXPECT_FALSE(registry::valueOrigin(shared, "none", folder));
    EXPECT_FALSE(registry::valueOrigin(reinterpret_cast<HKEY>(std::uintptr_t{0x1000}), "who", folder));
    RegCloseKey(shared);
    RegCloseKey(server);
}

TEST_F(RegistryClasses, RelativeServerPathResolvesAgainstTheDeclaringFolder)
{
    write("two/server.reg", std::string(header) +
                                "[HKCR\\CLSID\\{6A1F0C21-3B7E-4E55-9C1D-0B2D4A6F7EFF}\\InprocServer32]\n"
                                "@=\"../lib/server.so\"\n\"ThreadingModel\"=\"Free\"\n");
    registry::reload();
    HKEY inproc = open(HKEY_CLASSES_ROOT, "CLSID\\{6a1f0c21-3b7e-4e55-9c1d-0b2d4a6f7eff}\\InprocServer32");
    std::string folder;
    ASSERT_TRUE(registry::valueOrigin(inproc, nullptr, folder));
    EXPECT_EQ(folder, _dir / "two");
    EXPECT_EQ(queryValue(inproc, ""), sz("../lib/server.so"));
    RegCloseKey(inproc);
}

TEST_F(RegistryClasses, ClassesRootIsReadOnly)
{
    write("one/a.reg", std::string(header) + "[HKCR\\K]\n\"v\"=\"1\"\n");
    registry::reload();
    HKEY created = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(created, nullptr);
    HKEY key = open(HKEY_CLASSES_ROOT, "K", KEY_ALL_ACCESS);
    const BYTE data[] = "2";
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, data, 2), static_cast<LONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RegDeleteValueA(key, "v"), static_cast<LONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(queryValue(key, "v"), sz("1"));
    EXPECT_THAT(subkeyNames(key), ElementsAre());
    RegCloseKey(key);
}

TEST_F(RegistryClasses, EnumKeyNeedsRoomForTheNameAndItsTerminator)
{
    const std::string name255(255, 'j');
    const std::string name256(256, 'k');
    write("one/a.reg", std::string(header) + "[HKCR\\Long\\" + name255 + "]\n[HKCR\\Long\\" + name256 +
                           "]\n[HKCR\\Long\\\xC3\xBC]\n");
    registry::reload();
    HKEY key = open(HKEY_CLASSES_ROOT, "Long");
    char buffer[600];

    DWORD size = 256;
    EXPECT_EQ(RegEnumKeyExA(key, 0, buffer, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(size, 255u);
    EXPECT_EQ(std::string(buffer), name255);

    size = 256;
    EXPECT_EQ(RegEnumKeyExA(key, 1, buffer, &size, nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(ERROR_MORE_DATA));
    size = 257;
    EXPECT_EQ(RegEnumKeyExA(key, 1, buffer, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(std::string(buffer), name256);

    // Sizes count the bytes of the code page, not UTF-16 units.
    size = 2;
    EXPECT_EQ(RegEnumKeyExA(key, 2, buffer, &size, nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(ERROR_MORE_DATA));
    size = 3;
    char className[4] = "xyz";
    DWORD classSize = sizeof className;
    DWORD writeTime[2] = {1, 1};
    EXPECT_EQ(RegEnumKeyExA(key, 2, buffer, &size, nullptr, className, &classSize, writeTime), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_STREQ(buffer, "\xC3\xBC");
    EXPECT_EQ(classSize, 0u);
    EXPECT_STREQ(className, "");

    size = sizeof buffer;
    EXPECT_EQ(RegEnumKeyExA(key, 3, buffer, &size, nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(RegEnumKeyExA(key, 0, nullptr, &size, nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(ERROR_INVALID_PARAMETER));
    RegCloseKey(key);
}

TEST_F(RegistryClasses, QueryValueSizeRulesAndConversions)
{
    write("one/a.reg", std::string(header) +
                           "[HKCR\\K]\n"
                           "@=\"default\"\n"
                           "\"str\"=\"Gr\xC3\xBC\xC3\x9F" "e\"\n"
                           "\"exp\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,3b,00,78,00,00,00\n"
                           "\"multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\n"
                           "\"dw\"=dword:01020304\n"
                           "\"bin\"=hex:\n");
    registry::reload();
    HKEY key = open(HKEY_CLASSES_ROOT, "K");

    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "STR", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 8u); // five characters, two of them two bytes long, and the terminator

    char buffer[16] = {};
    size = 7;
    type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "str", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
              static_cast<LONG>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, REG_SZ);
    size = 8;
    EXPECT_EQ(RegQueryValueExA(key, "str", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), sz("Gr\xC3\xBC\xC3\x9F" "e"));

    EXPECT_EQ(RegQueryValueExA(key, "str", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "str", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), nullptr),
              static_cast<LONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegQueryValueExA(key, "nothing", nullptr, nullptr, nullptr, &size),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));

    EXPECT_EQ(queryValue(key, nullptr), sz("default"));
    EXPECT_EQ(queryValue(key, ""), sz("default"));
    EXPECT_EQ(queryValue(key, "exp", &type), sz("%PATH%;x")); // never expanded
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(queryValue(key, "multi", &type), std::string("a\0bc\0\0", 6));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(queryValue(key, "dw", &type), std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(queryValue(key, "bin", &type), std::string());
    EXPECT_EQ(type, REG_BINARY);
    RegCloseKey(key);
}

TEST_F(RegistryClasses, EnumValueInNameOrderWithSizeRules)
{
    write("one/a.reg", std::string(header) + "[HKCR\\K]\n\"str\"=\"x\"\n\"multi\"=hex(7):00,00\n\"Bin\"=hex:01,02\n"
                                             "@=\"d\"\n\"dw\"=dword:7\n");
    registry::reload();
    HKEY key = open(HKEY_CLASSES_ROOT, "K");
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD nameSize = sizeof name;
        LONG rc = RegEnumValueA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS))
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        names.emplace_back(name, nameSize);
    }
    EXPECT_THAT(names, ElementsAre("", "Bin", "dw", "multi", "str"));

    char name[8];
    DWORD nameSize = 5; // "multi" needs six with its terminator
    EXPECT_EQ(RegEnumValueA(key, 3, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(ERROR_MORE_DATA));
    BYTE data[8];
    DWORD type = 0;
    DWORD dataSize = 1;
    nameSize = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 1, name, &nameSize, nullptr, &type, data, &dataSize),
              static_cast<LONG>(ERROR_MORE_DATA));
    EXPECT_EQ(dataSize, 2u);
    nameSize = sizeof name;
    dataSize = sizeof data;
    EXPECT_EQ(RegEnumValueA(key, 4, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), dataSize), sz("x"));
    RegCloseKey(key);
}

TEST_F(RegistryClasses, HandlesAreValidatedAndOutliveReload)
{
    write("one/a.reg", std::string(header) + "[HKCR\\Shared\\Child]\n[HKCR\\Shared]\n\"who\"=\"one\"\n");
    registry::reload();

    HKEY key = open(HKEY_CLASSES_ROOT, "Shared\\");
    HKEY same = open(key, nullptr);
    EXPECT_NE(same, key);
    EXPECT_EQ(queryValue(same, "who"), sz("one"));
    EXPECT_EQ(RegCloseKey(same), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(same), static_cast<LONG>(ERROR_INVALID_HANDLE));
    LONG error = 0;
    EXPECT_EQ(queryValue(same, "who", nullptr, &error), std::nullopt);
    EXPECT_EQ(error, static_cast<LONG>(ERROR_INVALID_HANDLE));
    HKEY bogus = reinterpret_cast<HKEY>(std::uintptr_t{0x1000});
    char name[8];
    DWORD size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(bogus, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RegCloseKey(bogus), static_cast<LONG>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RegCloseKey(nullptr), static_cast<LONG>(ERROR_INVALID_HANDLE));

    // The predefined roots cannot be closed for good.
    EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_THAT(subkeyNames(HKEY_CLASSES_ROOT), ElementsAre("Shared"));

    HKEY out = reinterpret_cast<HKEY>(std::uintptr_t{1});
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "\\Shared", 0, KEY_READ, &out), static_cast<LONG>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Shared\\\\Child", 0, KEY_READ, &out),
              static_cast<LONG>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Shared\\Nope", 0, KEY_READ, &out),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Shared", 0, KEY_READ, nullptr),
              static_cast<LONG>(ERROR_INVALID_PARAMETER));

    // The machine root is served only where it holds the classes.
    HKEY alias = open(HKEY_LOCAL_MACHINE, "Software\\CLASSES\\shared");
    EXPECT_EQ(queryValue(alias, "who"), sz("one"));
    RegCloseKey(alias);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", 0, KEY_READ, &out),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &out), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, ".DEFAULT", 0, KEY_READ, &out), static_cast<LONG>(ERROR_FILE_NOT_FOUND));

    // After a reload the open handle still sees the keys it was opened on.
    regtest::ScopedEnv empty("TAGVISTA_CLASSES_PATH", (_dir / "none").c_str());
    registry::reload();
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Shared", 0, KEY_READ, &out), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(queryValue(key, "who"), sz("one"));
    EXPECT_THAT(subkeyNames(key), ElementsAre("Child"));
    HKEY child = open(key, "child");
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryClasses, HandleRightsFollowWhatWasAskedFor)
{
    write("one/a.reg", std::string(header) + "[HKCR\\K\\Sub]\n[HKCR\\K]\n\"v\"=\"1\"\n");
    registry::reload();
    HKEY enumOnly = open(HKEY_CLASSES_ROOT, "K", KEY_ENUMERATE_SUB_KEYS);
    LONG error = 0;
    EXPECT_EQ(queryValue(enumOnly, "v", nullptr, &error), std::nullopt);
    EXPECT_EQ(error, static_cast<LONG>(ERROR_ACCESS_DENIED));
    EXPECT_THAT(subkeyNames(enumOnly), ElementsAre("Sub"));
    HKEY queryOnly = open(HKEY_CLASSES_ROOT, "K", KEY_QUERY_VALUE);
    EXPECT_THAT(subkeyNames(queryOnly), ElementsAre());
    EXPECT_EQ(queryValue(queryOnly, "v"), sz("1"));
    HKEY generic = open(HKEY_CLASSES_ROOT, "K", 0x80000000 /* GENERIC_READ */);
    EXPECT_EQ(queryValue(generic, "v"), sz("1"));
    EXPECT_THAT(subkeyNames(generic), ElementsAre("Sub"));
    for (HKEY key : {enumOnly, queryOnly, generic})
        RegCloseKey(key);
}

TEST_F(RegistryClasses, ConnectServesOnlyThisComputer)
{
    write("one/a.reg", std::string(header) + "[HKCR\\K]\n");
    registry::reload();
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string shouted = std::string("\\\\") + host;
    for (char& c : shouted)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* name : {static_cast<const char*>(nullptr), "", "localhost", "\\\\LocalHost", shouted.c_str()}) {
        HKEY remote = nullptr;
        ASSERT_EQ(RegConnectRegistryA(name, HKEY_CLASSES_ROOT, &remote), ERROR_SUCCESS) << (name ? name : "null");
        EXPECT_THAT(subkeyNames(remote), ElementsAre("K"));
        EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
    }
    HKEY out = nullptr;
    EXPECT_EQ(RegConnectRegistryA("plc-07.invalid", HKEY_CLASSES_ROOT, &out), static_cast<LONG>(ERROR_BAD_NETPATH));
    EXPECT_EQ(RegConnectRegistryA("\\\\plc-07", HKEY_CURRENT_USER, &out), static_cast<LONG>(ERROR_BAD_NETPATH));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RegConnectRegistryA(nullptr, HKEY_LOCAL_MACHINE, &out), static_cast<LONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegConnectRegistryA(nullptr, HKEY_CLASSES_ROOT, nullptr), static_cast<LONG>(ERROR_INVALID_PARAMETER));
}

TEST_F(RegistryClasses, UnreadableInputIsReportedAndTheRestLoads)
{
    write("one/a.reg", "REGEDIT5\n[HKCR\\FromBadHeader]\n");
    write("one/b.reg", std::string(header) + "[HKCR\\Good]\ngarbage\n\"v\"=\"1\"\n");
    write("two", "a regular file where a folder should be");
    registry::reload();
    std::vector<std::string> diagnostics = registry::loadDiagnostics();
    ASSERT_EQ(diagnostics.size(), 3u) << ::testing::PrintToString(diagnostics);
    EXPECT_THAT(diagnostics[0], HasSubstr(_dir / "one/a.reg" + ":1: "));
    EXPECT_THAT(diagnostics[1], HasSubstr(_dir / "one/b.reg" + ":3: "));
    EXPECT_THAT(diagnostics[2], HasSubstr(_dir / "two"));
    EXPECT_THAT(subkeyNames(HKEY_CLASSES_ROOT), ElementsAre("Good"));
}

TEST_F(RegistryClasses, WalksTenThousandKeysInOrder)
{
    std::string file(header);
    for (int i = 9999; i >= 0; --i)
        file += "[HKCR\\Key" + std::to_string(i) + "]\n@=\"" + std::to_string(i) + "\"\n";
    write("one/many.reg", file);
    registry::reload();
    std::vector<std::string> names = subkeyNames(HKEY_CLASSES_ROOT);
    ASSERT_EQ(names.size(), 10000u);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    HKEY key = open(HKEY_CLASSES_ROOT, names[1234].c_str());
    EXPECT_EQ(queryValue(key, nullptr), sz(names[1234].substr(3)));
    RegCloseKey(key);
}

TEST(RegistryPaths, ClassesPathAndUserFileFollowTheEnvironment)
{
    {
        regtest::ScopedEnv path("TAGVISTA_CLASSES_PATH", "::/a/one::relative:");
        EXPECT_THAT(registry::classesPath(), ElementsAre("/a/one", "relative"));
    }
    {
        regtest::ScopedEnv path("TAGVISTA_CLASSES_PATH", nullptr);
        regtest::ScopedEnv data("XDG_DATA_HOME", "/x/data");
        std::vector<std::string> folders = registry::classesPath();
        ASSERT_EQ(folders.size(), 2u);
        std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe");
        EXPECT_EQ(folders[0], (program.parent_path().parent_path() / "share/tagvista/classes.d").string());
        EXPECT_EQ(folders[1], "/x/data/tagvista/classes.d");
    }
    {
        regtest::ScopedEnv path("TAGVISTA_CLASSES_PATH", nullptr);
        regtest::ScopedEnv home("HOME", "/home/op");
        regtest::ScopedEnv data("XDG_DATA_HOME", "not/absolute");
        regtest::ScopedEnv config("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(registry::classesPath().back(), "/home/op/.local/share/tagvista/classes.d");
        EXPECT_EQ(registry::userFilePath(), "/home/op/.config/tagvista/user.reg");
    }
    regtest::ScopedEnv config("XDG_CONFIG_HOME", "/c");
    EXPECT_EQ(registry::userFilePath(), "/c/tagvista/user.reg");
}
