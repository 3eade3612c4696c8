// Whole-string conversions between UTF-8 and UTF-16, and the comparison of names. Any thread.
#pragma once

#include "platform/WinTypes.h"

#include <string>
#include <string_view>

namespace platform {
// Whole-string conversions for the layer's own use and for tests; malformed input becomes U+FFFD.
WideString utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(WideStringView text);
// Equal but for the case of ASCII letters, as computer names and registry key names compare.
bool equalNoCase(std::string_view a, std::string_view b);
} // namespace platform
