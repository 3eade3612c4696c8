// The computers this machine knows: the hosts database and the neighbour table read, named and
// merged the same way on both systems; where the sources are is the system's part.
#include "platform/ComputerPicker.h"
#include "platform/Sockets.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_set>

namespace platform {

namespace {

// Both files are small on any real machine; a file that claims to be larger is not one of them.
constexpr std::streamsize kMaxSourceBytes = 4 * 1024 * 1024;

} // namespace

std::optional<std::string> readSourceFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text;
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (static_cast<std::streamsize>(text.size()) > kMaxSourceBytes) return std::nullopt;
    }
    return text;
}

namespace {

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string field;
    while (in >> field) out.push_back(field);
    return out;
}

std::string lowered(const std::string& text)
{
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

std::vector<KnownComputer> readHostsDatabase(const std::string& text)
{
    std::vector<KnownComputer> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        const std::vector<std::string> parts = fields(line);
        if (parts.size() < 2) continue;

        const std::string& address = parts[0];
        in_addr v4{};
        in6_addr v6{};
        std::string dotted;
        if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
            dotted = address;
        } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
            if (v6.s6_addr[0] == 0xFF) continue;  // multicast: a group, not a computer
        } else {
            continue;
        }
        for (std::size_t i = 1; i < parts.size(); ++i)
            out.push_back(KnownComputer{parts[i], dotted, KnownComputer::Source::HostsDatabase});
    }
    return out;
}

std::vector<IPv4Address> readNeighbourTable(const std::string& text)
{
    // "IP address  HW type  Flags  HW address  Mask  Device", one entry a line after the header.
    std::vector<IPv4Address> out;
    std::istringstream lines(text);
    std::string line;
    bool header = true;
    while (std::getline(lines, line)) {
        if (header) {
            header = false;
            continue;
        }
        const std::vector<std::string> parts = fields(line);
        if (parts.size() < 4) continue;
        in_addr v4{};
        if (inet_pton(AF_INET, parts[0].c_str(), &v4) != 1) continue;
        char* end = nullptr;
        const unsigned long flags = std::strtoul(parts[2].c_str(), &end, 16);
        if (end == parts[2].c_str() || *end != '\0') continue;
        if (!(flags & 0x2)) continue;  // incomplete: asked for, never answered
        IPv4Address bytes;
        std::memcpy(bytes.data(), &v4.s_addr, bytes.size());
        out.push_back(bytes);
    }
    return out;
}

std::optional<std::string> reverseLookup(const IPv4Address& address)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    std::memcpy(&socketAddress.sin_addr.s_addr, address.data(), address.size());
    char host[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress, host, sizeof host,
                    nullptr, 0, NI_NAMEREQD) != 0)
        return std::nullopt;
    return std::string(host);
}

std::vector<KnownComputer> knownComputers(const ComputerSources& sources)
{
    std::vector<KnownComputer> all;
    if (const auto text = readSourceFile(sources.hostsFile)) all = readHostsDatabase(*text);

    std::vector<IPv4Address> seenNeighbours = neighbours(sources);
    if (seenNeighbours.size() > sources.maxNeighbours) seenNeighbours.resize(sources.maxNeighbours);
    const auto& lookup = sources.reverseLookup ? sources.reverseLookup : reverseLookup;
    for (const IPv4Address& neighbour : seenNeighbours) {
        const std::string dotted = dottedText(neighbour);
        std::optional<std::string> name = lookup(neighbour);
        if (!name || name->empty()) name = dotted;
        all.push_back(KnownComputer{*name, dotted, KnownComputer::Source::Neighbour});
    }

    std::vector<KnownComputer> unique;
    std::unordered_set<std::string> seen;
    for (KnownComputer& computer : all) {
        if (seen.insert(lowered(computer.name)).second) unique.push_back(std::move(computer));
    }
    std::stable_sort(unique.begin(), unique.end(), [](const KnownComputer& a, const KnownComputer& b) {
        return lowered(a.name) < lowered(b.name);
    });
    return unique;
}

} // namespace platform
