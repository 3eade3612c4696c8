// The window program's message boxes on Windows: an error that a handler lets out, and the
// question a failed internal check asks ("_ASSERTE: ..."), both MessageBoxW. Main thread unless
// said otherwise.
#pragma once

#include "platform/Sdk.h"

#include <string>

namespace win32 {

// A modal error box with an OK button, titled with the program's name.
void showErrorMessage(HWND owner, const std::string& text);

// Installs the Yes/No/Cancel warning box as the handler of reportAssertion (IDYES, IDNO or
// IDCANCEL). A failed check on another thread asks through the dispatcher's main thread. Once the
// dispatcher's main thread is bound.
void installAssertionQuestion();

} // namespace win32
