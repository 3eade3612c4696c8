// Whole-string conversions between UTF-8 and UTF-16. Any thread.
#pragma once

#include "platform/WinTypes.h"

#include <string>
#include <string_view>

namespace platform {
// Whole-string conversions for the layer's own use and for tests; malformed input becomes U+FFFD.
WideString utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(WideStringView text);
} // namespace platform
