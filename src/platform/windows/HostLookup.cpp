// A computer's name to its first IPv4 address, through the system's resolver.
#include "platform/HostLookup.h"
#include "platform/remote/AgentHosts.h"

#include <cstring>

namespace platform {

std::optional<IPv4Address> lookupIPv4(const std::string& name)
{
    std::string query = name;
    if (query.empty()) {
        // As gethostbyname(""): the standard host name of this computer.
        char self[256] = {};
        if (gethostname(self, sizeof self - 1) != 0) return std::nullopt;
        query = self;
    } else if (const std::string host = remote::sshWrittenHost(query); !host.empty()) {
        // A computer reached through ssh: the address of the host ssh connects to for the name
        // (often an alias of the user's ssh configuration).
        query = remote::sshHostName(host).value_or(host);
    }
    if (!isResolvableName(query)) return std::nullopt;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(query.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    std::optional<IPv4Address> result;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in address;
        std::memcpy(&address, entry->ai_addr, sizeof address);
        IPv4Address bytes;
        // S_addr is in network order: its bytes in memory are the dotted bytes in order.
        std::memcpy(bytes.data(), &address.sin_addr.S_un.S_addr, bytes.size());
        result = bytes;
        break;
    }
    freeaddrinfo(found);
    return result;
}

} // namespace platform
