// Another computer's classes root through its agent: the real tagvista-agent, serving a classes
// root of its own, started through a stand-in for ssh that runs the remote command here.
#include "platform/Platform.h"
#include "platform/remote/AgentHosts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace platform::remote;

std::string systemText(DWORD code)
{
    char text[1024] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, sizeof text, nullptr);
    return text;
}

class RemoteRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        _folder = fs::temp_directory_path() / ("tagvista-remote-registry-" + std::to_string(::getpid()));
        fs::create_directories(_folder);
        // The remote computer's registrations: servers of every shape a walk meets.
        std::ofstream(_folder / "remote.reg") << "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CLASSES_ROOT\\Remote.Server.1\\OPC]\n"
            "[HKEY_CLASSES_ROOT\\Remote.Server.1\\CLSID]\n@=\"{11111111-2222-3333-4444-555555555555}\"\n\n"
            "[HKEY_CLASSES_ROOT\\Удалённый.Сервер.1\\OPC]\n"
            "[HKEY_CLASSES_ROOT\\Удалённый.Сервер.1\\CLSID]\n@=\"{11111111-2222-3333-4444-666666666666}\"\n\n"
            "[HKEY_CLASSES_ROOT\\Remote.NoClsid\\OPC]\n\n"
            "[HKEY_CLASSES_ROOT\\Remote.NumberClsid\\OPC]\n"
            "[HKEY_CLASSES_ROOT\\Remote.NumberClsid\\CLSID]\n@=dword:00000007\n\n"
            "[HKEY_CLASSES_ROOT\\Remote.NotAServer\\CLSID]\n@=\"{11111111-2222-3333-4444-777777777777}\"\n";
        AgentSettings settings;
        settings.ssh = {TAGVISTA_TEST_FAKE_SSH};
        settings.agent = "env TAGVISTA_CLASSES_PATH='" + _folder.string() + "' " + TAGVISTA_TEST_AGENT + " --stdio";
        setAgentSettings(settings);
    }
    void TearDown() override
    {
        closeAgents();
        setAgentSettings(agentSettingsFromEnvironment());
        fs::remove_all(_folder);
    }

    fs::path _folder;
};

std::set<std::string> rootKeys(HKEY root)
{
    std::set<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(root, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace(name, size);
    }
    return names;
}

TEST_F(RemoteRegistry, TheRootListsTheAgentsServersAsAWalkReadsThem)
{
    HKEY root = nullptr;
    ASSERT_EQ(RegConnectRegistryA("plc-7", HKEY_CLASSES_ROOT, &root), ERROR_SUCCESS) << systemText(ERROR_BAD_NETPATH);
    EXPECT_EQ(rootKeys(root), (std::set<std::string>{"Remote.NoClsid", "Remote.NumberClsid", "Remote.Server.1",
                                                     "Удалённый.Сервер.1"}))
        << "the keys with the OPC marker, not this computer's";

    auto clsidOf = [&](const std::string& key, DWORD& type) {
        HKEY clsid = nullptr;
        if (RegOpenKeyExA(root, (key + "\\CLSID").c_str(), 0, KEY_READ, &clsid) != ERROR_SUCCESS) return std::string("no key");
        char value[256] = {};
        DWORD size = sizeof value;
        const LONG read = RegQueryValueExA(clsid, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(value), &size);
        RegCloseKey(clsid);
        return read == ERROR_SUCCESS ? std::string(value, size) : std::string("no value");
    };
    DWORD type = 0;
    EXPECT_EQ(clsidOf("Remote.Server.1", type), std::string("{11111111-2222-3333-4444-555555555555}", 39));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(clsidOf("Удалённый.Сервер.1", type).substr(0, 38), "{11111111-2222-3333-4444-666666666666}");
    EXPECT_EQ(clsidOf("REMOTE.server.1", type).substr(0, 38), "{11111111-2222-3333-4444-555555555555}")
        << "names compare as the registry compares them";
    EXPECT_EQ(clsidOf("Remote.NoClsid", type), "no key");
    EXPECT_EQ(clsidOf("Remote.NumberClsid", type).size(), 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    HKEY marker = nullptr;
    EXPECT_EQ(RegOpenKeyExA(root, "Remote.Server.1\\OPC", 0, KEY_READ, &marker), ERROR_SUCCESS);
    RegCloseKey(marker);
    HKEY changed = nullptr;
    EXPECT_NE(RegCreateKeyExA(root, "Remote.Server.1\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &changed, nullptr),
              ERROR_SUCCESS)
        << "another computer's root is read only";
    RegCloseKey(root);

    // One agent per host: the second connect uses the channel of the first.
    std::string error;
    const auto first = agentFor("plc-7", error);
    ASSERT_NE(first, nullptr) << error;
    ASSERT_EQ(RegConnectRegistryA("plc-7", HKEY_CLASSES_ROOT, &root), ERROR_SUCCESS);
    RegCloseKey(root);
    EXPECT_EQ(agentFor("plc-7", error), first);
    EXPECT_NE(agentFor("plc-8", error), first);
}

TEST_F(RemoteRegistry, AFailureIsTheNetworkPathsCodeWithTheCauseInItsText)
{
    AgentSettings settings = agentSettings();
    settings.agent = "tagvista-no-such-agent --stdio";
    setAgentSettings(settings);
    HKEY root = nullptr;
    EXPECT_EQ(RegConnectRegistryA("plc-7", HKEY_CLASSES_ROOT, &root), ERROR_BAD_NETPATH);
    EXPECT_EQ(root, nullptr);
    const std::string text = systemText(ERROR_BAD_NETPATH);
    EXPECT_NE(text.find("tagvista-no-such-agent: not found (exit code 127)"), std::string::npos) << text;
    EXPECT_EQ(text.find("plc-7: "), std::string::npos) << "the caller names the computer: " << text;
    EXPECT_EQ(systemText(ERROR_FILE_NOT_FOUND).find("not found (exit"), std::string::npos)
        << "the cause belongs to its code only";

    // The other roots are not served remotely.
    EXPECT_EQ(RegConnectRegistryA("plc-7", HKEY_CURRENT_USER, &root), ERROR_BAD_NETPATH);
    EXPECT_EQ(RegConnectRegistryA("plc-7", HKEY_LOCAL_MACHINE, &root), ERROR_INVALID_PARAMETER);
}

} // namespace
