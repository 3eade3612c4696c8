#include "Output.h"

#include "client/ErrorString.h"
#include "platform/Sdk.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

namespace cli {

namespace {

// The console's output code page before prepareStreams; 0 when no console was changed.
std::atomic<UINT> savedCodePage{0};

bool isConsole(DWORD which)
{
    DWORD mode = 0;
    const HANDLE handle = ::GetStdHandle(which);
    return handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

} // namespace

void Output::prepareStreams()
{
    // The C runtime's text mode would turn each LF into CR LF: the help, the errors and the log
    // all pass through it (the results do not: they go to the handle itself).
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    // A pipe or a file takes the bytes as they are; a console decodes them in its output code
    // page, which the manifest's UTF-8 code page does not reach. One console serves both streams.
    if (isConsole(STD_OUTPUT_HANDLE) || isConsole(STD_ERROR_HANDLE)) {
        const UINT current = ::GetConsoleOutputCP();
        if (current != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
            savedCodePage = current;
            std::atexit(restoreStreams);
        }
    }
}

void Output::restoreStreams()
{
    // The console outlives the process: the shell it belongs to gets its code page back.
    if (const UINT codePage = savedCodePage.exchange(0)) ::SetConsoleOutputCP(codePage);
}

bool Output::write(const std::string& text)
{
    if (_readerGone || !_failure.empty()) return false;
    const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (handle && handle != INVALID_HANDLE_VALUE && ::WriteFile(handle, data, chunk, &written, nullptr) &&
            written > 0) {
            data += written;
            left -= written;
            continue;
        }
        const DWORD error = handle && handle != INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_INVALID_HANDLE;
        // A pipe whose reader has closed its end: "being closed" while the writer still holds
        // its own, "ended" once the pipe is gone.
        if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) {
            _readerGone = true;
        } else {
            const std::string words = ErrorString(error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error).str();
            _failure = words.empty() ? "system error " + std::to_string(error) : words;
        }
        return false;
    }
    return true;
}

} // namespace cli
