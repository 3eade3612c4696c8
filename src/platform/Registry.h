// What reading the registry found wrong. On Linux the registry is kept in files in the registry
// editor's text format (see RegistryFiles.h there); on Windows it is the system's.
#pragma once

#include "platform/WinTypes.h"

#include <functional>
#include <string>
#include <vector>

namespace platform::registry {

// Receives each problem that reading the registry met (a malformed line, an unreadable file, a
// user file kept aside), once, as it is produced; when installed, it first receives the ones the
// current load has already collected. Called on the thread that loaded or wrote, outside the
// store's locks (it may use the registry), one text at a time. An empty function removes it. The
// system's registry on Windows reports nothing.
void setDiagnosticsHandler(std::function<void(const std::string&)> handler);

} // namespace platform::registry
