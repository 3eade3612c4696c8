#include "ServerChoice.h"

#include <algorithm>

namespace cli {

namespace {

bool equalIgnoringAsciiCase(const std::string& a, const std::string& b)
{
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

} // namespace

std::optional<Host::OpcServerInfo> chooseServer(const std::vector<Host::OpcServerInfo>& listed,
                                                const std::string& wanted)
{
    for (const Host::OpcServerInfo& server : listed)
        if (server.name == wanted) return server;
    for (const Host::OpcServerInfo& server : listed)
        if (equalIgnoringAsciiCase(server.name, wanted)) return server;

    GUID clsid;
    if (!platform::guidFromString(wanted, clsid)) return std::nullopt;
    for (const Host::OpcServerInfo& server : listed)
        if (server.clsid == clsid) return server;
    return Host::OpcServerInfo{wanted, clsid};
}

} // namespace cli
