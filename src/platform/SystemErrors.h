// The system's texts for error codes, FormatMessageA (from the gateway).
#pragma once

#include "platform/WinTypes.h"
