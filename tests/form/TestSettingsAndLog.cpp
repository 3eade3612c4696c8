// The window's settings key (named after the executable, so a renamed copy keeps settings of its
// own), its values in the user's registry of the test, the log's place beside the executable, and
// the remote host's caption.
#include "client/Logger.h"
#include "client/form/FormTexts.h"
#include "client/form/LogFile.h"
#include "client/form/UserSettings.h"
#include "servers/test/TestRegistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace std::chrono_literals;

TEST(WindowSettings, KeyIsNamedAfterTheExecutableAndHoldsStringValues)
{
    const servers::test::TestRegistry registry;
    const std::string name = settings::executableFileName();
    EXPECT_TRUE(name == "form_tests" || name == "form_tests.exe") << name;
    EXPECT_EQ(settings::keyPath(), "\\Software\\Quellmark\\" + name);

    EXPECT_FALSE(settings::readString("MainForm"));
    ASSERT_TRUE(settings::writeString("MainForm", "1,2,3,4,5"));
    ASSERT_TRUE(settings::writeString("RecentHost", "Станция-7"));
    EXPECT_EQ(settings::readString("MainForm"), "1,2,3,4,5");
    EXPECT_EQ(settings::readString("RecentHost"), "Станция-7");
    EXPECT_EQ(settings::recentHost(), "Станция-7");
    settings::rememberRecentHost(" plc 7 ");
    EXPECT_EQ(settings::readString("RecentHost"), " plc 7 ") << "stored as typed";
    settings::rememberRecentHost("");
    EXPECT_EQ(settings::recentHost(), "");

    // A value of another type is no setting.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, settings::keyPath().substr(1).c_str(), 0, KEY_WRITE, &key), ERROR_SUCCESS);
    const DWORD number = 7;
    RegSetValueExA(key, "MainForm", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(key);
    EXPECT_FALSE(settings::readString("MainForm"));
}

TEST(WindowSettings, CallDeadlinesAreDecimalSecondsOrTheirDefaults)
{
    const servers::test::TestRegistry registry;
    const OPC_Connection::Timing defaults;
    OPC_Connection::Timing timing = settings::connectionTiming();
    EXPECT_EQ(timing.connectStep, defaults.connectStep);
    EXPECT_EQ(timing.disconnectStep, defaults.disconnectStep);
    EXPECT_EQ(timing.statusInterval, defaults.statusInterval);

    settings::writeString("ConnectTimeoutSeconds", "2.5");
    settings::writeString("DisconnectTimeoutSeconds", "0");
    settings::writeString("StatusIntervalSeconds", "3601");
    timing = settings::connectionTiming();
    EXPECT_EQ(timing.connectStep, 2500ms);
    EXPECT_EQ(timing.disconnectStep, 0ms);
    EXPECT_EQ(timing.statusInterval, defaults.statusInterval) << "past an hour";

    for (const char* bad : {"", "ten", "5s", "-1", "nan"}) {
        settings::writeString("ConnectTimeoutSeconds", bad);
        EXPECT_EQ(settings::connectionTiming().connectStep, defaults.connectStep) << bad;
    }
}

TEST(WindowSettings, AgentCommandsAreStringValuesOrNothing)
{
    const servers::test::TestRegistry registry;
    settings::AgentCommands commands = settings::agentCommands();
    EXPECT_EQ(commands.ssh, "");
    EXPECT_EQ(commands.agent, "");

    settings::writeString("SshCommand", "ssh -F \"C:\\plant\\ssh config\"");
    settings::writeString("AgentCommand", "tagvista-agent.exe --stdio");
    commands = settings::agentCommands();
    EXPECT_EQ(commands.ssh, "ssh -F \"C:\\plant\\ssh config\"");
    EXPECT_EQ(commands.agent, "tagvista-agent.exe --stdio");

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, settings::keyPath().substr(1).c_str(), 0, KEY_WRITE, &key), ERROR_SUCCESS);
    const DWORD number = 7;
    RegSetValueExA(key, "SshCommand", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(key);
    EXPECT_EQ(settings::agentCommands().ssh, "") << "a number is no command";
    EXPECT_EQ(settings::agentCommands().agent, "tagvista-agent.exe --stdio");
}

namespace {
std::string utf8(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}
} // namespace

TEST(WindowLog, LivesBesideTheExecutableAndStartsEmpty)
{
    EXPECT_EQ(form::logFileBeside("/opt/tag.vista/bin/tagvista"), "/opt/tag.vista/bin/tagvista.log");
    EXPECT_EQ(form::logFileBeside("/opt/bin/tagvista.bin"), "/opt/bin/tagvista.log");
    EXPECT_EQ(form::logFileBeside("tagvista"), "tagvista.log");
    EXPECT_EQ(form::logFileBeside(""), "");

    const std::string path = form::logFileBeside(settings::executablePath());
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(settings::fileNameOf(path).rfind("form_tests.log", 0), 0u) << path;
    {
        std::ofstream old(std::filesystem::u8path(path));
        old << "the previous run's lines\n";
    }
    auto& logger = logg::Logger::instance();
    const std::filesystem::path fallback = std::filesystem::temp_directory_path() / "tagvista-log-fallback-unused";
    EXPECT_EQ(form::startLog(settings::executablePath(), utf8(fallback)), path);
    EXPECT_EQ(logger.level(), 0);
    LOGG(0, "first line of this run");
    logger.setFileName("");
    std::ifstream in(std::filesystem::u8path(path));
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("the previous run"), std::string::npos) << text;
    EXPECT_NE(text.find("first line of this run"), std::string::npos) << text;
    in.close();
    std::filesystem::remove(std::filesystem::u8path(path));
    EXPECT_FALSE(std::filesystem::exists(fallback)) << "the user's folder is only made when needed";
}

TEST(WindowLog, GoesToTheUsersFolderWhenTheExecutablesTakesNoFile)
{
    // An executable whose folder cannot take a file (here one that does not exist: the tests run
    // with rights a read-only folder would not stop).
    const std::filesystem::path root = std::filesystem::temp_directory_path() / "tagvista-log-test";
    std::filesystem::remove_all(root);
    const std::string executable = utf8(root / "no-such-folder" / "tagvista.exe");
    const std::string userFolder = utf8(root / "state") + "/журнал";
    {
        std::filesystem::create_directories(std::filesystem::u8path(userFolder));
        std::ofstream old(std::filesystem::u8path(userFolder) / "tagvista.log");
        old << "the previous run's lines\n";
    }
    std::filesystem::remove_all(std::filesystem::u8path(userFolder));  // made again by the start

    auto& logger = logg::Logger::instance();
    const std::string path = form::startLog(executable, userFolder);
    ASSERT_FALSE(path.empty());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(path))) << "the previous run's log is gone";
    LOGG(0, "a line in the user's folder");
    logger.setFileName("");
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(path), std::filesystem::u8path(userFolder) / "tagvista.log")) << path;
    std::ifstream in(std::filesystem::u8path(path));
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("a line in the user's folder"), std::string::npos) << text;
    in.close();

    // Neither place: no file, and the logger is left as it was.
    const int before = logger.level();
    logger.setLevel(-1);
    EXPECT_EQ(form::startLog(executable, ""), "");
    EXPECT_EQ(form::startLog(utf8(root / "no-such-folder" / "x"), path + "/under-a-file"), "");
    EXPECT_EQ(logger.level(), -1);
    logger.setLevel(before);
    std::filesystem::remove_all(root);

    EXPECT_FALSE(form::userLogFolder().empty()) << "the test machine has a home or a local app data folder";
}

TEST(WindowTexts, RemoteHostCaptionNamesTheHostAndItsAddress)
{
    EXPECT_EQ(form::remoteHostCaption("plc-7", {10, 0, 0, 7}), "\\\\plc-7 (10.0.0.7)");
    EXPECT_EQ(form::remoteHostCaption("нет-такого", {0, 0, 0, 0}), "\\\\нет-такого (0.0.0.0)");
}

} // namespace
