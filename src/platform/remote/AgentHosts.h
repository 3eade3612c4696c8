// The agent channels of this process, one per remote computer, and what the registry and the
// error texts ask of them. Any thread.
#pragma once

#include "AgentChannel.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::remote {

// The settings later opens use; at first those of the environment (agentSettingsFromEnvironment).
void setAgentSettings(const AgentSettings& settings);
AgentSettings agentSettings();

// The host of a computer written "ssh:name" (with or without leading backslashes); "" for any
// other name. Such a computer is always reached through its agent, on Windows too, where other
// names keep the system's remote registry and DCOM.
std::string sshWrittenHost(const std::string& computer);
// The host a computer name asks the agent for ("ssh:name", "\\\\name" or "name"); "" for this
// computer. What the Linux layer reaches every other computer by.
std::string remoteHostName(const std::string& computer);
// The host the ssh command of the settings really connects to for host, as its configuration
// says ("ssh -G host": an alias of ~/.ssh/config gives its HostName, any other name itself).
// Nothing when ssh cannot be started, fails, or has not answered within the deadline (it is then
// ended). ssh reads only its configuration files for this, no network. Never throws.
std::optional<std::string> sshHostName(const std::string& host,
                                       std::chrono::milliseconds deadline = std::chrono::seconds(3));
// An agent failure's text without the "host: " it starts with, for a caller that names the host.
std::string causeWithoutHost(const std::string& host, std::string text);

// The channel to host: the open one, or a new one when there is none or the last has ended.
// Null with the text when the agent cannot be reached. Opens of different hosts run side by
// side; two callers for one host share one open.
std::shared_ptr<AgentChannel> agentFor(const std::string& host, std::string& error);

// Ends every channel (the tests start each from nothing).
void closeAgents();

// A key of a remote classes root that has an "OPC" subkey.
struct RemoteServerKey {
    std::string name;
    bool hasClsid = false;
    std::uint32_t clsidType = 0;
    std::vector<std::uint8_t> clsidData;  // as RegQueryValueExA returns it there
};

// The remote computer's server keys, asked of its agent in one request. false with the text.
bool listRemoteServers(const std::string& host, std::vector<RemoteServerKey>& keys, std::string& error);

// The cause of the last remote failure of this thread, for the system's text of its code
// (FormatMessageA adds it to the next text of that code asked on this thread, as the caller
// words its error right after the failing call). Kept until then, or until the next remote call.
void setFailureDetail(std::uint32_t code, const std::string& text);
void clearFailureDetail();
// The kept text when code is the kept code (and then forgets it), else "".
std::string failureDetail(std::uint32_t code);

} // namespace platform::remote
