#include "agent/StandardStreams.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace agent {

void prepareStandardStreams()
{
    std::signal(SIGPIPE, SIG_IGN);
}

long readInput(std::uint8_t* bytes, std::size_t count)
{
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, bytes, count);
        if (got < 0 && errno == EINTR) continue;
        return static_cast<long>(got);
    }
}

bool writeOutput(const std::uint8_t* bytes, std::size_t count)
{
    std::size_t written = 0;
    while (written < count) {
        const ssize_t put = ::write(STDOUT_FILENO, bytes + written, count - written);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        written += static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace agent
