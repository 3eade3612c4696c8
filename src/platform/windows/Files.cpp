#include "platform/Files.h"
#include "platform/WinTypes.h"

#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace platform {

int openForAppend(const std::string& path)
{
    return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

bool isOpenDescriptor(int fd)
{
    return fd >= 0 && ::_get_osfhandle(fd) != -1;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    // Binary, so the C runtime adds no carriage returns of its own.
    ::_setmode(fd, _O_BINARY);
    while (size > 0) {
        const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
        const int written = ::_write(fd, data, chunk);
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void closeDescriptor(int fd)
{
    ::_close(fd);
}

bool deleteFile(const std::string& path)
{
    return DeleteFileA(path.c_str()) != 0;
}

} // namespace platform
