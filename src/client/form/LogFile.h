// The window program's log: a file named after the executable ("tagvista" -> "tagvista.log",
// "tagvista.exe" -> "tagvista.log"), the previous run's deleted at start. It lives beside the
// executable; where that folder takes no file (an installed program in /usr/bin or under Program
// Files), it goes to the user's own folder for such files instead.
#pragma once

#include <string>

namespace form {

// The log's path for an executable path; "" for none.
std::string logFileBeside(const std::string& executablePath);

// The user's folder for the log when the executable's takes none: $XDG_STATE_HOME/tagvista
// (~/.local/state/tagvista) on Linux, %LOCALAPPDATA%\Tagvista on Windows; "" when the system
// tells no such folder. The system's part (unix/, windows/).
std::string userLogFolder();

// Deletes the previous run's log and starts a new one beside the executable, or in fallbackFolder
// (made when missing) when no file can be written beside it; points the logger at it and sets the
// threshold to 0. Returns the log's path, "" when neither place takes one (then nothing is
// logged to a file).
std::string startLog(const std::string& executablePath, const std::string& fallbackFolder);

// startLog for this executable and the user's folder.
void startWindowLog();

} // namespace form
