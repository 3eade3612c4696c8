// Uniform data transfer: FORMATETC, STGMEDIUM, IDataObject, IAdviseSink and registered clipboard
// formats (from the gateway).
#pragma once

#include "platform/Memory.h"
#include "platform/Unknown.h"
