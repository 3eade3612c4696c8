// The standard handles as ssh (or Wine, for a Unix pipe) hands them over. ReadFile and WriteFile
// on the handles themselves: the C library's text mode would turn CR LF bytes of a frame.
#include "agent/StandardStreams.h"

#include "platform/Platform.h"

#include <algorithm>

namespace agent {

namespace {

HANDLE input()
{
    static const HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
    return handle;
}

HANDLE output()
{
    static const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    return handle;
}

} // namespace

void prepareStandardStreams()
{
    // Nothing to set: a broken pipe is a failed write here, never a signal.
    input();
    output();
}

long readInput(std::uint8_t* bytes, std::size_t count)
{
    const HANDLE handle = input();
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
    DWORD got = 0;
    const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 20));
    if (!ReadFile(handle, bytes, asked, &got, nullptr)) {
        // The writer closed its end: that is the input's end, not a failure.
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return static_cast<long>(got);
}

bool writeOutput(const std::uint8_t* bytes, std::size_t count)
{
    const HANDLE handle = output();
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    std::size_t written = 0;
    while (written < count) {
        DWORD put = 0;
        const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(count - written, 1u << 20));
        if (!WriteFile(handle, bytes + written, asked, &put, nullptr) || put == 0) return false;
        written += put;
    }
    return true;
}

} // namespace agent
