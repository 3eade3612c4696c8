// The remote host dialog on Windows ("Подключение к удаленному серверу"), from the dialog
// template of tagvista.rc: the edit holds RecentHost at start (Courier New), the computer button
// opens the system's network browser (or the list of known computers where there is none),
// "Подключиться" stores the text as RecentHost and confirms, "Отмена" and Esc cancel.
// Main thread.
#pragma once

#include "platform/Sdk.h"

#include <functional>
#include <optional>
#include <string>

namespace win32 {

// Shows the dialog modally over owner: the text confirmed (as typed, "" included), or nothing.
std::optional<std::string> askHost(HWND owner);

// The dialog's window while it is shown (null otherwise), for tests that drive it by messages.
HWND hostDialogWindow();

} // namespace win32
