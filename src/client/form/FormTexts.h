// The texts the main window shows in its tree, whatever draws it.
#pragma once

#include "platform/HostLookup.h"

#include <string>

namespace form {

// The local computer's host node, listed at start.
inline constexpr const char* kLocalHostName = "(local)";
// Status nodes while a worker runs.
inline constexpr const char* kListingText = "Чтение списка OPC-серверов...";
inline constexpr const char* kConnectingText = "Подключение к OPC-серверу...";
inline constexpr const char* kDisconnectingText = "Отключение от OPC-сервера...";

// A remote host's node: "\\name (a.b.c.d)", 0.0.0.0 when the name did not resolve.
std::string remoteHostCaption(const std::string& name, const platform::IPv4Address& address);

} // namespace form
