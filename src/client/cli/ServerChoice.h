// How a command names the server it works with: by its name as the host lists it, or by its
// class identifier. Pure; any thread.
#pragma once

#include "client/Host.h"

#include <optional>
#include <string>
#include <vector>

namespace cli {

// The server that wanted names among the servers a host listed: the name exactly, else the name
// without regard to the case of ASCII letters (as the registry compares key names), else a braced
// class identifier. A class identifier that is not listed still names a server, by that text, so
// that a class registered without the OPC marker can be reached too. Nothing when wanted is none
// of these.
std::optional<Host::OpcServerInfo> chooseServer(const std::vector<Host::OpcServerInfo>& listed,
                                                const std::string& wanted);

} // namespace cli
