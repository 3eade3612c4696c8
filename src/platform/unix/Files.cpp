#include "platform/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

int openForAppend(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

bool isOpenDescriptor(int fd)
{
    return fd >= 0 && ::fcntl(fd, F_GETFD) != -1;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void closeDescriptor(int fd)
{
    ::close(fd);
}

bool deleteFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

} // namespace platform
