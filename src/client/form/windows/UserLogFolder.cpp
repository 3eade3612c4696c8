#include "client/form/LogFile.h"

#include "platform/Text.h"

#include <shlobj.h>

namespace form {

std::string userLogFolder()
{
    PWSTR local = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &local)) && local)
        folder = platform::utf16ToUtf8(platform::WideStringView(local)) + "\\Tagvista";
    CoTaskMemFree(local);
    return folder;
}

} // namespace form
