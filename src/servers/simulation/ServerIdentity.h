// What the simulation and scale servers say of themselves in GetStatus, the same in the library
// and in the server program. Only for files built with the TAGVISTA_VERSION_* definitions.
#pragma once

#include "servers/kit/Server.h"

namespace servers::simulation {

inline kit::ServerIdentity serverIdentity(platform::WideString vendor)
{
    kit::ServerIdentity id;
    id.vendorInfo = std::move(vendor);
    id.majorVersion = TAGVISTA_VERSION_MAJOR;
    id.minorVersion = TAGVISTA_VERSION_MINOR;
    id.buildNumber = TAGVISTA_VERSION_PATCH;
    id.minimumUpdateRateMs = 10;
    return id;
}

} // namespace servers::simulation
