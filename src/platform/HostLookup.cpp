#include "platform/HostLookup.h"

namespace platform {

namespace {

bool isLabelCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Four decimal numbers of 0 to 255 joined by dots, as the resolver takes an address literally.
bool isDottedAddress(const std::string& name)
{
    int parts = 0;
    std::size_t i = 0;
    while (i <= name.size()) {
        std::size_t digits = 0;
        unsigned value = 0;
        while (i < name.size() && name[i] >= '0' && name[i] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(name[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        ++parts;
        if (i == name.size()) break;
        if (name[i] != '.' || parts == 4) return false;
        ++i;
    }
    return parts == 4;
}

} // namespace

bool isResolvableName(const std::string& name)
{
    if (name.empty() || name.size() > 253) return false;
    if (isDottedAddress(name)) return true;
    std::size_t labelLength = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '.') {
            if (labelLength == 0) return false;  // an empty label: "a..b" or a leading dot
            labelLength = 0;
            continue;
        }
        if (!isLabelCharacter(c)) return false;
        if (++labelLength > 63) return false;
    }
    return true;
}

std::string dottedText(const IPv4Address& address)
{
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) + "." +
           std::to_string(address[3]);
}

} // namespace platform
