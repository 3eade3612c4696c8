// A list of the computers this machine knows, to pick one by name, for systems without a network
// browser: the same list as the Qt window's picker (platform::knownComputers). Main thread.
#pragma once

#include "platform/ComputerPicker.h"
#include "platform/Sdk.h"

#include <optional>
#include <string>

namespace win32 {

// Shows the list modally over owner: the chosen computer's name, or nothing. The list is read on
// a thread of its own (reverse lookups may wait for the resolver), so the dialog answers at once
// and fills in when the list is there.
std::optional<std::string> pickComputer(HWND owner, platform::ComputerSources sources = {});

// The dialog's window while it is shown (null otherwise), and whether its list has been read.
HWND computerPickerWindow();
bool computerPickerLoaded();

} // namespace win32
