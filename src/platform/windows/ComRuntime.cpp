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

bool comInitialized()
{
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    // CO_E_NOTINITIALIZED when no apartment exists; a thread of a process whose multithreaded
    // apartment exists belongs to it implicitly.
    return CoGetApartmentType(&type, &qualifier) == S_OK;
}

} // namespace platform
