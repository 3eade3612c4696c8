#include "Output.h"

#include <cerrno>
#include <cstring>

namespace cli {

bool Output::write(const std::string& text)
{
    if (_readerGone || !_failure.empty()) return false;
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), _stream) == text.size();
    if (written && std::fflush(_stream) == 0) return true;
    const int error = errno;
    if (error == EPIPE) {
        _readerGone = true;
    } else {
        _failure = std::strerror(error != 0 ? error : EIO);
    }
    return false;
}

} // namespace cli
