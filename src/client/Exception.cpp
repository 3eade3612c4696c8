#include "Exception.h"

#include "Logger.h"

#include <cstdio>
#include <vector>

std::string vtextf(const char* format, va_list args)
{
    char small[256];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) return std::string();
    if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, static_cast<std::size_t>(needed));
    std::vector<char> large(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(large.data(), large.size(), format, args);
    return std::string(large.data(), static_cast<std::size_t>(needed));
}

std::string textf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = vtextf(format, args);
    va_end(args);
    return text;
}

void raiseLogged(const std::string& text, std::source_location where)
{
    LOGG(2, "%s", text.c_str());
    throw Exception(text, where);
}
