#include "client/form/UserSettings.h"

#include <climits>
#include <unistd.h>
#include <vector>

namespace settings {

const char* const kPathSeparators = "/";

std::string readExecutablePath()
{
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return {};
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

} // namespace settings
