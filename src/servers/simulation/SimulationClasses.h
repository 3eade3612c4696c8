// The classes the simulation library serves, as their registration names them: the simulation
// server and the scale server. The .reg files of the Linux build carry the same values (a test
// compares them), and DllRegisterServer writes them on Windows.
#pragma once

#include "platform/Guid.h"
#include "servers/kit/Registration.h"

#include <vector>

namespace servers::simulation {

// {ACC7586C-576A-43C0-8917-1660FCCAD6FF}
constexpr CLSID CLSID_TagvistaSimulation = {0xACC7586C, 0x576A, 0x43C0, {0x89, 0x17, 0x16, 0x60, 0xFC, 0xCA, 0xD6, 0xFF}};
constexpr const char* kSimulationProgId = "Tagvista.Simulation.1";
constexpr const char* kSimulationVersionIndependentProgId = "Tagvista.Simulation";
constexpr const char* kSimulationDescription = "Tagvista Simulation Server";

// {90746DF8-73EB-4924-B91F-B727A4B6276B}
constexpr CLSID CLSID_TagvistaScale = {0x90746DF8, 0x73EB, 0x4924, {0xB9, 0x1F, 0xB7, 0x27, 0xA4, 0xB6, 0x27, 0x6B}};
constexpr const char* kScaleProgId = "Tagvista.Scale.1";
constexpr const char* kScaleVersionIndependentProgId = "Tagvista.Scale";
constexpr const char* kScaleDescription = "Tagvista Scale Server";

// Where the scale server reads its size when an object is made (DWORD values, each optional):
// Branches, ItemsPerBranch, Depth, UpdateRate (ms), ChangingPercent.
constexpr const char* kScaleUserKey = "Software\\Tagvista\\Scale";
// The defaults of the registration, read when the user key lacks a value.
constexpr const char* kScaleDefaultsKey = "CLSID\\{90746DF8-73EB-4924-B91F-B727A4B6276B}\\Parameters";

// Both classes as the library registers them; the scale server's Parameters are the built-in
// defaults of its size.
std::vector<kit::ClassRegistration> registrations();

} // namespace servers::simulation
