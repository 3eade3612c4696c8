// Where Windows keeps the computers it knows: the hosts file in the system folder, and the IP
// helper's neighbour (ARP) table.
#include "platform/ComputerPicker.h"

#include <iphlpapi.h>

#include <cstring>
#include <vector>

namespace platform {

std::string defaultHostsFile()
{
    char folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::string(folder, length) + "\\drivers\\etc\\hosts";
}

std::string defaultNeighbourFile() { return {}; }

std::vector<IPv4Address> neighbours(const ComputerSources& sources)
{
    if (!sources.neighbourFile.empty()) {
        const auto text = readSourceFile(sources.neighbourFile);
        return text ? readNeighbourTable(*text) : std::vector<IPv4Address>{};
    }
    std::vector<IPv4Address> out;
    ULONG size = 0;
    if (GetIpNetTable(nullptr, &size, TRUE) != ERROR_INSUFFICIENT_BUFFER || size == 0) return out;
    std::vector<unsigned char> buffer(size);
    auto* table = reinterpret_cast<MIB_IPNETTABLE*>(buffer.data());
    if (GetIpNetTable(table, &size, TRUE) != NO_ERROR) return out;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPNETROW& row = table->table[i];
        // Complete entries only: an invalid one was asked for and never answered.
        if (row.dwType != MIB_IPNET_TYPE_DYNAMIC && row.dwType != MIB_IPNET_TYPE_STATIC) continue;
        IPv4Address address;
        std::memcpy(address.data(), &row.dwAddr, address.size());  // network order: dotted order
        out.push_back(address);
    }
    return out;
}

} // namespace platform
