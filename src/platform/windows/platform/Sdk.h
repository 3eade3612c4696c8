// The gateway to the operating system on Windows: the system's SDK, and the OPC DA declarations
// widl makes from the project's IDL. Nothing else in the program includes <windows.h>.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>
#include <comcat.h>

#include "OpcDaIdl.h"

#include "AgentRouting.h"

// Marks what a server library exports; the .def files of the libraries list the same names.
#define TAGVISTA_SERVER_EXPORT

// A result code from its 32 bits, as the SDK's own tables write them.
constexpr HRESULT HR_BITS(unsigned long bits) { return static_cast<HRESULT>(bits); }

namespace platform::sdk {
// The IID of an interface type: the SDK and widl attach one to each interface.
template <class Interface>
const IID& interfaceId()
{
    return __uuidof(Interface);
}
} // namespace platform::sdk
