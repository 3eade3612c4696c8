// The system's socket declarations the shared code uses (inet_pton, getnameinfo, sockaddr_in):
// Winsock's, through the gateway.
#pragma once

#include "platform/Sdk.h"
