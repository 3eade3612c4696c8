// The platform's basic types and result codes (from the gateway), and the program's wide texts:
// WCHAR is a UTF-16 unit on both platforms (wchar_t on Windows, char16_t on Linux), so wide texts
// are written with OLESTR("...") and held in platform::WideString.
#pragma once

#include "platform/Sdk.h"

#include <string>
#include <string_view>

namespace platform {
using WideString = std::basic_string<WCHAR>;
using WideStringView = std::basic_string_view<WCHAR>;
} // namespace platform
