// This computer's name and what COM can tell beyond its result codes, on Windows.
#include "platform/ComRuntime.h"

namespace platform {

std::string computerName()
{
    // The DNS host name, as the network knows the computer (the NetBIOS name may be cut short).
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size) || size == 0) return "localhost";
    return std::string(name, size);
}

std::string activationDiagnostic()
{
    // The system's loader reports through the result code alone.
    return std::string();
}

HRESULT cancelOutgoingCall(DWORD threadId)
{
    // Wine's ntdll exports its version; its ole32 has CoCancelCall only as a stub that aborts.
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    if (wine) return E_NOTIMPL;
    return CoCancelCall(threadId, 0);
}

bool comInitialized()
{
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    // CO_E_NOTINITIALIZED when no apartment exists; a thread of a process whose multithreaded
    // apartment exists belongs to it implicitly.
    return CoGetApartmentType(&type, &qualifier) == S_OK;
}

} // namespace platform
