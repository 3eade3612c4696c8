// The registration exports of tagvista-simulation.dll: regsvr32 registers both classes and the
// descriptions of the OPC categories; regsvr32 /u removes the classes.
#include "servers/kit/windows/SelfRegistration.h"
#include "servers/simulation/SimulationClasses.h"

extern "C" HRESULT DllRegisterServer()
{
    return servers::kit::registerServer(servers::simulation::registrations(), true);
}

extern "C" HRESULT DllUnregisterServer()
{
    return servers::kit::unregisterServer(servers::simulation::registrations());
}
