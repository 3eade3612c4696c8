// The registry of the Linux layer: where its files are, reading them again, what the last load
// found wrong, and where a value came from. Linux only.
#pragma once

#include "platform/Registry.h"

#include <string>
#include <vector>

namespace platform::registry {

// The folders whose *.reg files make up the classes root, in merge order: TAGVISTA_CLASSES_PATH
// (colon-separated) when set, else <program dir>/../share/tagvista/classes.d followed by
// $XDG_DATA_HOME/tagvista/classes.d (default ~/.local/share).
std::vector<std::string> classesPath();
// $XDG_CONFIG_HOME/tagvista/user.reg (default ~/.config).
std::string userFilePath();

// Reads both roots again from the paths the environment gives now. Open handles keep reading
// the keys they were opened on; a change through a user-root handle opened before fails with
// ERROR_KEY_DELETED, since the file now belongs to the new keys.
void reload();

// What the last load skipped: one text per malformed line or unreadable file ("<file>:<line>:
// <reason>"), and a note for a user file kept aside since. Kept for the log and for tests.
std::vector<std::string> loadDiagnostics();

// The folder of the file that declared a value of the classes root (a relative library path in
// InprocServer32 is taken relative to it). False when the value does not exist or is not from
// a file.
bool valueOrigin(HKEY hKey, LPCSTR lpValueName, std::string& folder);

} // namespace platform::registry
