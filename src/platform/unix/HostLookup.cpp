#include "platform/HostLookup.h"
#include "platform/remote/AgentHosts.h"

#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData)
{
    const int major = wVersionRequested & 0xFF;
    const int minor = (wVersionRequested >> 8) & 0xFF;
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    if (lpWSAData) {
        const bool above = major > 2 || (major == 2 && minor > 2);
        lpWSAData->wVersion = above ? WORD{0x0202} : wVersionRequested;
        lpWSAData->wHighVersion = 0x0202;
    }
    return 0;
}

int WSACleanup()
{
    return 0;
}

namespace platform {

std::optional<IPv4Address> lookupIPv4(const std::string& name)
{
    std::string query = name;
    if (query.empty()) {
        // As gethostbyname(""): the standard host name of this computer.
        char self[HOST_NAME_MAX + 1] = {};
        if (gethostname(self, sizeof self - 1) != 0) return std::nullopt;
        query = self;
    } else if (const std::string host = remote::remoteHostName(query); !host.empty()) {
        // Another computer is reached through ssh, and the name given is often an alias of the
        // user's ssh configuration, which the resolver does not know: the address is that of the
        // host ssh connects to.
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
        // s_addr is already in network order: its bytes in memory are the dotted bytes in order.
        std::memcpy(bytes.data(), &address.sin_addr.s_addr, bytes.size());
        result = bytes;
        break;
    }
    freeaddrinfo(found);
    return result;
}

} // namespace platform
