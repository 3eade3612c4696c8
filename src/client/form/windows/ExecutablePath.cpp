#include "client/form/UserSettings.h"

#include "platform/Text.h"

#include <vector>

namespace settings {

const char* const kPathSeparators = "\\/";

std::string readExecutablePath()
{
    // Long paths are allowed: the buffer grows until the whole name fits.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::vector<wchar_t> buffer(size);
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) return {};
        if (length < size) return platform::utf16ToUtf8(platform::WideStringView(buffer.data(), length));
    }
    return {};
}

} // namespace settings
