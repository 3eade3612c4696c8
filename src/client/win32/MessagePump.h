// The thread's messages read and dispatched until a condition holds: the loop of a program that
// drives the window itself (the tests, the benchmarks, the picture).
#pragma once

#include "platform/Sdk.h"

#include <chrono>
#include <functional>

namespace win32 {

// False when the time ran out first.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return true;
}

} // namespace win32
