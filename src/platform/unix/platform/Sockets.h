// The system's socket declarations the shared code uses (inet_pton, getnameinfo, sockaddr_in).
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
