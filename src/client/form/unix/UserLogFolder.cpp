#include "client/form/LogFile.h"

#include <cstdlib>

namespace form {

std::string userLogFolder()
{
    // The XDG base directory rule: state that should outlive a restart but is not worth a backup.
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return std::string(state) + "/tagvista";
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return std::string(home) + "/.local/state/tagvista";
    return {};
}

} // namespace form
