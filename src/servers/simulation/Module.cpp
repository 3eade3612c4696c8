// The exports of libtagvista-simulation: the class objects of the simulation server and the
// scale server.
#include "servers/kit/ClassFactory.h"
#include "servers/kit/Server.h"
#include "servers/simulation/ServerIdentity.h"
#include "servers/simulation/ScaleSpace.h"
#include "servers/simulation/SimulationClasses.h"
#include "servers/simulation/SimulationSpace.h"

#include <iterator>
#include <string>

namespace servers::simulation {

namespace {

HRESULT createSimulation(REFIID riid, void** ppv)
{
    return kit::createObject<kit::Server>(riid, ppv, serverIdentity(OLESTR("Tagvista Simulation Server")), buildSimulationSpace());
}

HRESULT createScale(REFIID riid, void** ppv)
{
    auto space = std::make_shared<ScaleAddressSpace>(readScaleConfig());
    // A client logs the vendor text when it connects: the one place a clamped size shows.
    kit::ServerIdentity id = serverIdentity(OLESTR("Tagvista Scale Server") + space->clampNote());
    return kit::createObject<kit::Server>(riid, ppv, std::move(id), std::move(space));
}

constexpr kit::ClassEntry kClasses[] = {
    {CLSID_TagvistaSimulation, &createSimulation},
    {CLSID_TagvistaScale, &createScale},
};

} // namespace

} // namespace servers::simulation

extern "C" TAGVISTA_SERVER_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return servers::kit::getClassObject(servers::simulation::kClasses, rclsid, riid, ppv);
}

// The library is never unloaded while the process runs.
extern "C" TAGVISTA_SERVER_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }
