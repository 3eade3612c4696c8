// The program's per-user settings key and its string values: the window placement and the last
// remote host live there, in the current user's registry hive.
#pragma once

#include "client/OPC_Connection.h"

#include <optional>
#include <string>

namespace settings {

// The executable's file name with its extension and without its folder ("tagvista",
// "tagvista.exe"); the
// program's full path comes from the system, so a renamed copy keeps settings of its own.
// Computed once; any thread.
const std::string& executableFileName();
// The executable's full path ("" when the system does not tell it).
const std::string& executablePath();
// The path as the system tells it (the system's part: unix/, windows/).
std::string readExecutablePath();
// The characters that end a folder in the system's paths.
extern const char* const kPathSeparators;
// The last part of a path.
std::string fileNameOf(const std::string& path);

// "\Software\Quellmark\<executable file name>", the key as it is stored (below HKEY_CURRENT_USER).
std::string keyPath();

// A string value of the key. Nothing when the key or the value is missing, or the value is not a
// string. Any thread.
std::optional<std::string> readString(const char* valueName);
// Stores a string value, creating the key when it is missing; false when it cannot be stored.
// Any thread.
bool writeString(const char* valueName, const std::string& text);

// The remote host dialog's last confirmed text ("RecentHost"): "" when none is stored or it is
// not a string. Stored unchanged (no trimming; empty is stored too), best effort: a host not
// remembered is nothing to tell.
std::string recentHost();
void rememberRecentHost(const std::string& text);

// The deadlines of the calls into a server and the interval of its status checks, from the
// string values ConnectTimeoutSeconds, DisconnectTimeoutSeconds and StatusIntervalSeconds
// (decimal seconds; 0 for none). A value that is missing or not a number in 0..3600 keeps
// its default.
OPC_Connection::Timing connectionTiming();

// The commands that reach another computer's agent through ssh, from the string values
// SshCommand (ssh with its own options) and AgentCommand (the agent's command line there); ""
// where a value is missing or not a string, which keeps the default.
struct AgentCommands {
    std::string ssh;
    std::string agent;
};
AgentCommands agentCommands();

} // namespace settings
