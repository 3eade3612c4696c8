#include "servers/simulation/SimulationClasses.h"

#include "servers/simulation/ScaleSpace.h"

namespace servers::simulation {

std::vector<kit::ClassRegistration> registrations()
{
    const ScaleConfig defaults;
    kit::ClassRegistration simulation{CLSID_TagvistaSimulation, kSimulationDescription, kSimulationProgId,
                                      kSimulationVersionIndependentProgId, {}, {}};
    kit::ClassRegistration scale{CLSID_TagvistaScale, kScaleDescription, kScaleProgId, kScaleVersionIndependentProgId, {},
                                 {{"Branches", defaults.branches},
                                  {"ItemsPerBranch", defaults.itemsPerBranch},
                                  {"Depth", defaults.depth},
                                  {"UpdateRate", defaults.updateRate},
                                  {"ChangingPercent", defaults.changingPercent}}};
    return {simulation, scale};
}

} // namespace servers::simulation
