#include "Output.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace cli {

void Output::prepareStreams()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void Output::restoreStreams() {}

bool Output::write(const std::string& text)
{
    if (_readerGone || !_failure.empty()) return false;
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, left);
        if (written > 0) {
            data += written;
            left -= static_cast<std::size_t>(written);
            continue;
        }
        const int error = written < 0 ? errno : EIO;
        if (error == EINTR) continue;
        if (error == EPIPE) {
            _readerGone = true;
        } else {
            _failure = std::strerror(error);
        }
        return false;
    }
    return true;
}

} // namespace cli
