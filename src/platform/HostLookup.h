// The host-name lookup the program needs of the sockets layer: a computer's name to its IPv4
// address, and the sockets start-up that the platform's programs call before any lookup.
#pragma once

#include "platform/WinTypes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

using IPv4Address = std::array<std::uint8_t, 4>;

// True for a name the resolver can be asked about: labels of letters, digits, '-' and '_'
// separated by single dots (a trailing dot allowed), at most 253 characters, or a dotted IPv4
// address. Anything else is refused before it reaches the resolver, so that a typing mistake
// never turns into a network query.
bool isResolvableName(const std::string& name);

// The first IPv4 address of a name, in network byte order (the bytes as they are written:
// "10.0.0.5" gives {10, 0, 0, 5}), as gethostbyname gives it: through the hosts database and
// then the network's resolver. An empty name means this computer. Nothing when the name is not
// resolvable or the lookup finds no IPv4 address. Blocks until the resolver answers; any thread.
// Where other computers are reached through ssh (Linux), the name of another computer is first
// given to the ssh client of the agent settings, and the host its configuration connects to for
// that name (an alias's HostName) is looked up instead; the name itself when ssh does not say
// within a few seconds. The rule above on resolvable names holds for what is looked up.
std::optional<IPv4Address> lookupIPv4(const std::string& name);

// "10.0.0.5".
std::string dottedText(const IPv4Address& address);

} // namespace platform
