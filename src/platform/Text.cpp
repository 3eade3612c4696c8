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

} // namespace platform
