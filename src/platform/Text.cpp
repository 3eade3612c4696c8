#include "platform/Text.h"

#include <climits>

namespace platform {

// Through the system's conversions, which replace malformed input by U+FFFD without the
// *_ERR_INVALID_CHARS flags.
WideString utf8ToUtf16(std::string_view text)
{
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return WideString();
    const int size = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    WideString out(static_cast<std::size_t>(needed > 0 ? needed : 0), WCHAR(0));
    if (needed > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), needed);
    return out;
}

std::string utf16ToUtf8(WideStringView text)
{
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return std::string();
    const int size = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), needed, nullptr, nullptr);
    return out;
}

bool equalNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

} // namespace platform
