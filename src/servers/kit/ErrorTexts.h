// The texts a server gives for result codes through GetErrorString: the OPC codes in the
// server's own words, other codes from the system's message table. Any thread.
#pragma once

#include "platform/WinTypes.h"

#include <string>

namespace servers::kit {

// False when the code has no text here or in the system table.
bool errorText(HRESULT code, platform::WideString& text);

} // namespace servers::kit
