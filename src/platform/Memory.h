// Task and global memory, atomic counters and the thread's last error (from the gateway).
#pragma once

#include "platform/WinTypes.h"
