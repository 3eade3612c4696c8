// Where Linux keeps the computers it knows: the hosts file and the kernel's neighbour table.
#include "platform/ComputerPicker.h"

namespace platform {

std::string defaultHostsFile() { return "/etc/hosts"; }
std::string defaultNeighbourFile() { return "/proc/net/arp"; }

std::vector<IPv4Address> neighbours(const ComputerSources& sources)
{
    const auto text = readSourceFile(sources.neighbourFile);
    return text ? readNeighbourTable(*text) : std::vector<IPv4Address>{};
}

} // namespace platform
