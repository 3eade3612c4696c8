// The classes tagvista-simserver.exe serves, as their registration names them: the simulation
// and scale servers again, out of process (LocalServer32), under CLSIDs and ProgIDs of their own
// so that both forms can be registered side by side.
#pragma once

#include "platform/Guid.h"
#include "servers/kit/Registration.h"

#include <vector>

namespace servers::simulation {

// {4C88B626-B5F5-4303-A9B0-2060BA8EE13B}
constexpr CLSID CLSID_TagvistaSimulationProcess = {
    0x4C88B626, 0xB5F5, 0x4303, {0xA9, 0xB0, 0x20, 0x60, 0xBA, 0x8E, 0xE1, 0x3B}};
constexpr const char* kSimulationProcessProgId = "Tagvista.SimulationProcess.1";
constexpr const char* kSimulationProcessVersionIndependentProgId = "Tagvista.SimulationProcess";
constexpr const char* kSimulationProcessDescription = "Tagvista Simulation Server (out of process)";

// {196AB60A-159D-483A-B113-5A976CDE5E00}
constexpr CLSID CLSID_TagvistaScaleProcess = {
    0x196AB60A, 0x159D, 0x483A, {0xB1, 0x13, 0x5A, 0x97, 0x6C, 0xDE, 0x5E, 0x00}};
constexpr const char* kScaleProcessProgId = "Tagvista.ScaleProcess.1";
constexpr const char* kScaleProcessVersionIndependentProgId = "Tagvista.ScaleProcess";
constexpr const char* kScaleProcessDescription = "Tagvista Scale Server (out of process)";

// Both classes as the program registers them. The scale server reads its size as the library's
// does (the user's key, then the library's registered defaults, then its built-in ones), so the
// two forms serve the same space.
std::vector<kit::ClassRegistration> processRegistrations();

} // namespace servers::simulation
