#include "servers/simulation/ProcessClasses.h"

namespace servers::simulation {

std::vector<kit::ClassRegistration> processRegistrations()
{
    kit::ClassRegistration simulation{CLSID_TagvistaSimulationProcess, kSimulationProcessDescription,
                                      kSimulationProcessProgId, kSimulationProcessVersionIndependentProgId, {}, {}};
    simulation.activation = kit::Activation::Program;
    kit::ClassRegistration scale{CLSID_TagvistaScaleProcess, kScaleProcessDescription, kScaleProcessProgId,
                                 kScaleProcessVersionIndependentProgId, {}, {}};
    scale.activation = kit::Activation::Program;
    return {simulation, scale};
}

} // namespace servers::simulation
