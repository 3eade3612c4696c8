#include "servers/kit/ErrorTexts.h"

#include "platform/OpcDa.h"
#include "platform/SystemErrors.h"
#include "platform/Text.h"

namespace servers::kit {

namespace {

struct Entry {
    HRESULT code;
    const WCHAR* text;
};

constexpr Entry kOpcTexts[] = {
    {OPC_E_INVALIDHANDLE, OLESTR("The handle is not valid.")},
    {OPC_E_BADTYPE, OLESTR("The server cannot convert the data between the requested type and the item's type.")},
    {OPC_E_PUBLIC, OLESTR("This operation is not allowed on a public group.")},
    {OPC_E_BADRIGHTS, OLESTR("The item's access rights do not allow this operation.")},
    {OPC_E_UNKNOWNITEMID, OLESTR("The item is not in the server's address space.")},
    {OPC_E_INVALIDITEMID, OLESTR("The item id does not conform to the server's syntax.")},
    {OPC_E_INVALIDFILTER, OLESTR("The filter string is not valid.")},
    {OPC_E_UNKNOWNPATH, OLESTR("The item's access path is not known to the server.")},
    {OPC_E_RANGE, OLESTR("The value is out of range.")},
    {OPC_E_DUPLICATENAME, OLESTR("A group of that name already exists on this server.")},
    {OPC_S_UNSUPPORTEDRATE, OLESTR("The server does not support the requested rate; it uses the closest rate it offers.")},
    {OPC_S_CLAMP, OLESTR("The value was accepted but clamped.")},
    {OPC_S_INUSE, OLESTR("The operation cannot complete because the object still has references to it.")},
    {OPC_E_INVALIDCONFIGFILE, OLESTR("The server's configuration file is not valid.")},
    {OPC_E_NOTFOUND, OLESTR("The requested object was not found.")},
    {OPC_E_INVALID_PID, OLESTR("The property id is not valid for the item.")},
};

} // namespace

bool errorText(HRESULT code, platform::WideString& text)
{
    for (const Entry& e : kOpcTexts) {
        if (e.code == code) {
            text = e.text;
            return true;
        }
    }
    char buffer[512];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
    if (length == 0) return false;
    std::string narrow(buffer, length);
    // The system texts end in CR LF, which a client shows in one line.
    while (!narrow.empty() && (narrow.back() == '\n' || narrow.back() == '\r')) narrow.pop_back();
    if (narrow.empty()) return false;
    text = platform::utf8ToUtf16(narrow);
    return true;
}

} // namespace servers::kit
