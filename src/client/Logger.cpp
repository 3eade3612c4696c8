#include "Logger.h"

#include "Exception.h"
#include "platform/Time.h"

#include "platform/Files.h"

#include <cstdarg>
#include <cstdio>

namespace logg {

Logger& Logger::instance()
{
    // Never destroyed: workers and callback threads may still log while the process ends.
    static Logger* logger = new Logger();
    return *logger;
}

Logger::Logger()
    : _fileName("default.log"),
      _console(platform::isOpenDescriptor(platform::kStandardOutput) ? platform::kStandardOutput : -1)
{
}

void Logger::setFileName(const std::string& fileName)
{
    Locker locker(&_lock);
    _fileName = fileName.substr(0, kMaxFileName);
}

std::string Logger::fileName() const
{
    Locker locker(&_lock);
    return _fileName;
}

void Logger::setConsole(int fd)
{
    Locker locker(&_lock);
    _console = fd;
}

void Logger::print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string message = vtextf(format, args);
    va_end(args);

    Locker locker(&_lock);
    // One time stamp for both outputs, so console and file show the same line.
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::string line = textf("%02d:%02d:%02d:%03d\t", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    for (std::uint32_t i = 0; i < _indent; ++i) line += "    ";
    line += message;
    line += '\n';
    if (_console >= 0) writeLine(_console, line, true);
    if (_fileName.empty()) return;
    // Opened and closed for every line, so other programs can read the file meanwhile and a file
    // deleted while we run is simply created anew.
    const int fd = platform::openForAppend(_fileName);
    if (fd < 0) return;
    writeLine(fd, line, false);
    platform::closeDescriptor(fd);
}

void Logger::writeLine(int fd, const std::string& line, bool /*toOem*/)
{
    // The console shows the same characters as the file: there is no separate OEM code page
    // here, so toOem changes nothing.
    // One write per line keeps lines whole even towards readers outside the process.
    platform::writeAll(fd, line.data(), line.size());
}

} // namespace logg
