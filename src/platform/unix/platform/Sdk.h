// The gateway to the operating system on Linux: this layer's own declarations of the COM and
// Win32 subset the program is written against, with the platform's names, signatures and
// semantics. On Windows the gateway of the same name includes the system's SDK instead.
#pragma once

#include "platform/ComRuntimeApi.h"
#include "platform/DataTransferApi.h"
#include "platform/GuidApi.h"
#include "platform/MemoryApi.h"
#include "platform/OleAutoApi.h"
#include "platform/OpcDaApi.h"
#include "platform/RegistryApi.h"
#include "platform/SystemErrorsApi.h"
#include "platform/TextApi.h"
#include "platform/TimeApi.h"
#include "platform/UnknownApi.h"
#include "platform/WinSockApi.h"
#include "platform/WinTypesApi.h"

// Marks what a server library exports (DllGetClassObject); everything else stays inside it.
#define TAGVISTA_SERVER_EXPORT __attribute__((visibility("default")))

namespace platform::sdk {
// The IID of an interface type: each interface here carries its own.
template <class Interface>
const IID& interfaceId()
{
    return Interface::iid();
}
} // namespace platform::sdk
