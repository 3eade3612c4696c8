// The registration exports of tagvista-testservers.dll: regsvr32 registers every test class (the
// one whose library is missing names a DLL beside this one that does not exist), regsvr32 /u
// removes them.
#include "servers/kit/windows/SelfRegistration.h"
#include "servers/test/TestServers.h"

namespace {
constexpr const char* kMissingLibrary = "tagvista-no-such-server.dll";
}

extern "C" HRESULT DllRegisterServer()
{
    return servers::kit::registerServer(servers::test::registrations(kMissingLibrary), false);
}

extern "C" HRESULT DllUnregisterServer()
{
    return servers::kit::unregisterServer(servers::test::registrations(kMissingLibrary));
}
