// The system's registry has no files to read and so nothing of the Linux layer's to report.
#include "platform/Registry.h"

namespace platform::registry {

void setDiagnosticsHandler(std::function<void(const std::string&)>)
{
    // Nothing is ever reported: the handler would never be called.
}

} // namespace platform::registry
