// The computers this machine knows, for the operator to pick one from: the names of its hosts
// database and the neighbours it has seen on the network.
#pragma once

#include "HostLookup.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct KnownComputer {
    std::string name;     // what the operator picks; a neighbour without a name has its address here
    std::string address;  // the dotted address the name was found with ("" when none is known)
    enum class Source { HostsDatabase, Neighbour } source = Source::HostsDatabase;
};

// This system's sources (the system's part).
std::string defaultHostsFile();
std::string defaultNeighbourFile();

// Where the list comes from. The defaults are this machine's own; tests give files of their own
// and a reverse lookup that asks nobody.
struct ComputerSources {
    // Linux: /etc/hosts; Windows: drivers\etc\hosts in the system folder.
    std::string hostsFile = defaultHostsFile();
    // The neighbour table: the IPv4 addresses this machine has exchanged frames with. Linux: the
    // kernel's text form (/proc/net/arp); Windows: "" asks the system (GetIpNetTable), a file
    // in the kernel's text form is read instead when named.
    std::string neighbourFile = defaultNeighbourFile();
    // The name of an address, or nothing. The default asks the resolver (getnameinfo), which may
    // query the network and wait for it.
    std::function<std::optional<std::string>(const IPv4Address&)> reverseLookup;
    // At most this many neighbours are looked up; a machine on a large segment may have
    // thousands, and each lookup may wait for the resolver.
    std::size_t maxNeighbours = 256;
};

// Reads both sources. Hosts database: every name of every entry whose address is IPv4 or an
// IPv6 unicast address (multicast entries such as ff02::1 name no computer), comments and
// malformed lines skipped. Neighbour table: every complete entry (flags with the 0x2 bit),
// named by the reverse lookup when it answers, else by its address. Names are kept once
// (compared without regard to case; the first one seen wins) and sorted without regard to case.
// A source that cannot be read adds nothing. Blocks while the reverse lookups run; any thread.
std::vector<KnownComputer> knownComputers(const ComputerSources& sources = {});

// The parts of knownComputers, for callers that want one source only. Input order, duplicates kept.
std::vector<KnownComputer> readHostsDatabase(const std::string& text);
// The complete IPv4 entries of a neighbour table in the kernel's text form, in input order.
std::vector<IPv4Address> readNeighbourTable(const std::string& text);

// The neighbours the sources name, complete entries only, in the system's order (the system's
// part).
std::vector<IPv4Address> neighbours(const ComputerSources& sources);
// A source file's text; nothing when it cannot be read or is larger than any real one.
std::optional<std::string> readSourceFile(const std::string& path);

// The resolver's name of an address (getnameinfo with a name required); nothing when it has none.
std::optional<std::string> reverseLookup(const IPv4Address& address);

} // namespace platform
