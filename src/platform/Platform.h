// The one gateway to the operating system: the COM and Win32 subset the program is written
// against. On Linux this layer implements it; a Windows backend maps the same names to the SDK.
#pragma once

#include "ComRuntime.h"
#include "DataTransfer.h"
#include "Dispatcher.h"
#include "Guid.h"
#include "Memory.h"
#include "OpcDa.h"
#include "Registry.h"
#include "SystemErrors.h"
#include "Text.h"
#include "Time.h"
#include "Unknown.h"
#include "Variant.h"
#include "WinTypes.h"
#include "Worker.h"
