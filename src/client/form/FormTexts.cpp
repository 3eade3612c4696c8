#include "client/form/FormTexts.h"

#include <cstdio>

namespace form {

std::string remoteHostCaption(const std::string& name, const platform::IPv4Address& address)
{
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, " (%d.%d.%d.%d)", address[0], address[1], address[2], address[3]);
    return "\\\\" + name + numbers;
}

} // namespace form
