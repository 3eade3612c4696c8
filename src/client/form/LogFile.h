// The window program's log: a file beside the executable named after it ("tagvista.log",
// "tagvista.exe" -> "tagvista.log"), the previous run's deleted at start.
#pragma once

#include <string>

namespace form {

// The log's path for an executable path; "" for none.
std::string logFileBeside(const std::string& executablePath);

// Deletes the previous run's log, points the logger at a new one and sets the threshold to 0.
// Nothing when the system does not tell the executable's path.
void startLogBesideExecutable();

} // namespace form
