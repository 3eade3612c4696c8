// tagvista-simserver.exe: the simulation and scale servers as a LocalServer32 program, for
// clients that keep their servers out of process. The same address spaces and server objects as
// the library's, hosted by the kit's server program (ServerProgram.h).
#include "servers/kit/Server.h"
#include "servers/simulation/ServerIdentity.h"
#include "servers/kit/windows/ServerProgram.h"
#include "servers/simulation/ProcessClasses.h"
#include "servers/simulation/ScaleSpace.h"
#include "servers/simulation/SimulationSpace.h"

namespace servers::simulation {

namespace {

// The address space is what the server object, its groups and its enumerators share: holding
// the program through it keeps the program until the last of them is released.
HRESULT createSimulation(REFIID riid, void** ppv)
{
    std::shared_ptr<const kit::AddressSpace> space = kit::holdingProgram(buildSimulationSpace());
    return kit::createObject<kit::Server>(riid, ppv, serverIdentity(OLESTR("Tagvista Simulation Server")), std::move(space));
}

HRESULT createScale(REFIID riid, void** ppv)
{
    auto scale = std::make_shared<ScaleAddressSpace>(readScaleConfig());
    kit::ServerIdentity id = serverIdentity(OLESTR("Tagvista Scale Server") + scale->clampNote());
    std::shared_ptr<const kit::AddressSpace> space = kit::holdingProgram(std::move(scale));
    return kit::createObject<kit::Server>(riid, ppv, std::move(id), std::move(space));
}

constexpr kit::ClassEntry kClasses[] = {
    {CLSID_TagvistaSimulationProcess, &createSimulation},
    {CLSID_TagvistaScaleProcess, &createScale},
};

} // namespace

} // namespace servers::simulation

int wmain(int argc, wchar_t** argv)
{
    const auto registrations = servers::simulation::processRegistrations();
    return servers::kit::runServerProgram({argv, argv + argc}, servers::simulation::kClasses, registrations);
}
