// The dots per inch a window is drawn at: the design's pixels (96 DPI) are scaled by it.
#pragma once

#include "platform/Sdk.h"

namespace win32 {

inline UINT windowDpi(HWND window)
{
    // GetDpiForWindow (per monitor) exists from Windows 10 1607; older systems have one DPI for
    // everything.
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi && window) {
        const UINT dpi = getDpi(window);
        if (dpi) return dpi;
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

} // namespace win32
