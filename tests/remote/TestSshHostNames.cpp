// The address of a remote computer is that of the host ssh connects to for its name: the system's
// ssh client with a configuration file of the test's own (ssh -G reads only its configuration,
// so no server and no network are needed), and ssh commands that fail or never answer.
#include "platform/HostLookup.h"
#include "platform/remote/AgentHosts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace platform::remote;
using namespace std::chrono_literals;
using platform::IPv4Address;

class SshHostNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        _folder = fs::temp_directory_path() / ("tagvista-ssh-names-" + std::to_string(::getpid()));
        fs::create_directories(_folder);
        _config = _folder / "config";
        std::ofstream(_config) << "Host plant-remote\n"
                                  "    HostName 127.0.0.1\n"
                                  "    Port 2222\n"
                                  "Host plant-other\n"
                                  "    HostName 10.20.30.40\n"
                                  "Host localhost\n"
                                  "    HostName 10.9.9.9\n";
    }
    void TearDown() override
    {
        setAgentSettings(agentSettingsFromEnvironment());
        std::error_code ignored;
        fs::remove_all(_folder, ignored);
    }

    void useSsh(std::vector<std::string> command)
    {
        AgentSettings settings;
        settings.ssh = std::move(command);
        setAgentSettings(settings);
    }
    void useSystemSsh() { useSsh({"ssh", "-F", _config.string()}); }
    // An ssh that runs script with sh; the words ssh is given follow as its arguments.
    void useScript(const std::string& script) { useSsh({"sh", "-c", script, "ssh"}); }

    fs::path _folder;
    fs::path _config;
};

TEST_F(SshHostNames, AnAliasOfTheSshConfigurationGivesTheAddressOfItsHost)
{
    useSystemSsh();
    EXPECT_EQ(sshHostName("plant-remote"), "127.0.0.1");
    EXPECT_EQ(platform::lookupIPv4("plant-remote"), (IPv4Address{127, 0, 0, 1}));
    EXPECT_EQ(platform::lookupIPv4("\\\\plant-remote"), (IPv4Address{127, 0, 0, 1})) << "as a computer name";
    EXPECT_EQ(platform::lookupIPv4("plant-other"), (IPv4Address{10, 20, 30, 40}));
    // A name the configuration does not know is its own host, as ssh writes it.
    EXPECT_EQ(sshHostName("10.0.0.5"), "10.0.0.5");
    EXPECT_EQ(platform::lookupIPv4("10.0.0.5"), (IPv4Address{10, 0, 0, 5}));
}

TEST_F(SshHostNames, ThisComputerIsLookedUpAsBefore)
{
    useSystemSsh();  // whose configuration sends "localhost" elsewhere
    EXPECT_EQ(platform::lookupIPv4("localhost"), (IPv4Address{127, 0, 0, 1}));
    EXPECT_EQ(platform::lookupIPv4("127.0.0.1"), (IPv4Address{127, 0, 0, 1}));
    char self[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(self, sizeof self - 1), 0);
    useScript("echo hostname 10.9.9.9");
    EXPECT_EQ(platform::lookupIPv4(self), platform::lookupIPv4(""));
    EXPECT_NE(platform::lookupIPv4(self), (IPv4Address{10, 9, 9, 9}));
    EXPECT_EQ(platform::lookupIPv4("plant7"), (IPv4Address{10, 9, 9, 9})) << "while another computer is asked of it";
}

TEST_F(SshHostNames, AnSshThatFailsLeavesTheNameAsGiven)
{
    useSsh({(_folder / "no-such-ssh").string()});
    EXPECT_EQ(sshHostName("plant-remote"), std::nullopt);
    EXPECT_EQ(platform::lookupIPv4("10.0.0.5"), (IPv4Address{10, 0, 0, 5}));

    // Its configuration cannot be read: ssh ends with an error.
    useSsh({"ssh", "-F", (_folder / "no-such-config").string()});
    EXPECT_EQ(sshHostName("plant-remote"), std::nullopt);
    EXPECT_EQ(platform::lookupIPv4("10.0.0.5"), (IPv4Address{10, 0, 0, 5}));

    // What an ssh that failed wrote is not its answer.
    useScript("echo hostname 10.9.9.9; exit 255");
    EXPECT_EQ(sshHostName("plant-remote"), std::nullopt);
    EXPECT_EQ(platform::lookupIPv4("10.0.0.5"), (IPv4Address{10, 0, 0, 5}));

    // Nor is output without a host name.
    useScript("echo port 22");
    EXPECT_EQ(sshHostName("plant-remote"), std::nullopt);
    EXPECT_EQ(platform::lookupIPv4("10.0.0.5"), (IPv4Address{10, 0, 0, 5}));
}

TEST_F(SshHostNames, AHostNameThatCannotBeResolvedIsNotLookedUp)
{
    useScript("echo 'hostname no such host'");
    EXPECT_EQ(sshHostName("plant-remote"), "no such host");
    EXPECT_EQ(platform::lookupIPv4("10.0.0.5"), std::nullopt) << "ssh's answer stands; the guard applies to it";
}

TEST_F(SshHostNames, AnSshThatDoesNotAnswerIsEndedAtTheDeadline)
{
    const fs::path pidFile = _folder / "ssh.pid";
    // Its answer comes too late: what it wrote before does not count.
    useScript("echo $$ > '" + pidFile.string() + "'; echo hostname 10.9.9.9; exec sleep 60");
    EXPECT_EQ(sshHostName("plant-remote", 300ms), std::nullopt);
    std::ifstream in(pidFile);
    const std::string pid((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(pid.empty());
    errno = 0;
    EXPECT_EQ(::kill(static_cast<pid_t>(std::stol(pid)), 0), -1) << "the program is gone";
    EXPECT_EQ(errno, ESRCH);

    // The lookup goes on with the name after its own deadline.
    EXPECT_EQ(platform::lookupIPv4("10.0.0.5"), (IPv4Address{10, 0, 0, 5}));
}

} // namespace
