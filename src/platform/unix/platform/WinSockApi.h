// The sockets start-up a program's entry calls before any host lookup.
#pragma once

#include "platform/WinTypesApi.h"

// What WSAStartup reports: the version granted and the highest one served.
struct WSADATA {
    WORD wVersion = 0;
    WORD wHighVersion = 0;
};
using LPWSADATA = WSADATA*;

// Sockets need no start-up on POSIX; these keep a program's entry the same on both platforms.
// WSAStartup grants the version asked for up to 2.2 and returns 0; a version below 1.1 gives
// WSAVERNOTSUPPORTED (10092). WSACleanup returns 0. Any thread.
constexpr int WSAVERNOTSUPPORTED = 10092;
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup();

