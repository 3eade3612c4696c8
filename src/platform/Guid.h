// GUIDs (class and interface identifiers) and their braced text form in 8-bit text.
#pragma once

#include "platform/WinTypes.h"

#include <cstring>
#include <functional>
#include <string>

namespace platform {
// The braced upper-case form as 8-bit text.
std::string guidToString(const GUID& guid);
// Parses the braced form from 8-bit text; false for anything else.
bool guidFromString(const std::string& text, GUID& guid);
} // namespace platform

template <>
struct std::hash<GUID> {
    std::size_t operator()(const GUID& g) const noexcept
    {
        std::uint64_t a;
        std::uint64_t b;
        std::memcpy(&a, &g, 8);
        std::memcpy(&b, reinterpret_cast<const char*>(&g) + 8, 8);
        return std::hash<std::uint64_t>()(a ^ (b * 0x9E3779B97F4A7C15ull));
    }
};

