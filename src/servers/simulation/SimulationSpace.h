// The simulation server's address space: a small plant an engineer recognises (two production
// lines with motors, tanks and valves, a workshop named in Russian, an energy meter) and a
// Simulation branch with items of every type the client shows, moving as random values, ramps,
// sines, squares, triangles, counters and clocks, items that never change, arrays, and items
// whose quality cycles through the good, uncertain and bad sub-statuses. Any thread may build
// one; the result is immutable.
#pragma once

#include "servers/kit/TreeAddressSpace.h"

#include <memory>

namespace servers::simulation {

std::shared_ptr<kit::TreeAddressSpace> buildSimulationSpace();

} // namespace servers::simulation
