// Texts between the program (UTF-8) and the system's wide calls.
#pragma once

#include "platform/Sdk.h"
#include "platform/Text.h"

#include <string>
#include <vector>

namespace win32 {

inline std::wstring wide(const std::string& text)
{
    const platform::WideString w = platform::utf8ToUtf16(text);
    return std::wstring(w.begin(), w.end());
}

inline std::string narrow(const wchar_t* text)
{
    return platform::utf16ToUtf8(platform::WideStringView(text));
}

// A window's text (a control's caption or an edit's contents).
inline std::string windowText(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1);
    const int got = GetWindowTextW(window, buffer.data(), length + 1);
    return platform::utf16ToUtf8(platform::WideStringView(buffer.data(), static_cast<std::size_t>(got)));
}

} // namespace win32
