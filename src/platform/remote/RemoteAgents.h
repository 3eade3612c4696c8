// How the program reaches another computer without DCOM: the commands that start that
// computer's tagvista-agent through ssh. The platform layer on Linux reaches every other
// computer so.
#pragma once

#include <string>

namespace platform {

// The commands as the user set them: ssh with its own options ("" for "ssh") and the agent's
// command line there ("" for "tagvista-agent --stdio"). TAGVISTA_SSH and TAGVISTA_AGENT in the
// environment still take the place of either. Connections opened afterwards use them. Any thread.
void setAgentCommands(const std::string& sshCommand, const std::string& agentCommand);

} // namespace platform
