#include "platform/Guid.h"

#include "platform/WinTypes.h"

#include <cstdio>

namespace platform {

namespace {
constexpr std::size_t kBracedLength = 38;
} // namespace

std::string guidToString(const GUID& g)
{
    char text[kBracedLength + 1];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), unsigned(g.Data2), unsigned(g.Data3), unsigned(g.Data4[0]),
                  unsigned(g.Data4[1]), unsigned(g.Data4[2]), unsigned(g.Data4[3]), unsigned(g.Data4[4]),
                  unsigned(g.Data4[5]), unsigned(g.Data4[6]), unsigned(g.Data4[7]));
    return std::string(text, kBracedLength);
}

bool guidFromString(const std::string& text, GUID& guid)
{
    // Only the braced form: the system's parser would also look a ProgID up. An embedded zero
    // makes the length check fail, as it should.
    if (text.size() != kBracedLength || text.front() != '{' || text.back() != '}') return false;
    WideString wide;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80 || c == 0) return false;
        wide.push_back(static_cast<WCHAR>(c));
    }
    GUID parsed;
    if (CLSIDFromString(wide.c_str(), &parsed) != S_OK) return false;
    guid = parsed;
    return true;
}

} // namespace platform
