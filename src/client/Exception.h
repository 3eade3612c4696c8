// The error type the program raises: it carries one message text, which workers keep as their
// last error and the window shows.
#pragma once

#include "platform/WinTypes.h"

#include <cstdarg>
#include <exception>
#include <source_location>
#include <string>

// Besides its text, an exception knows the source file and line that raised it, for the lines
// that report an exception caught far from where it arose.
class Exception : public std::exception {
public:
    explicit Exception(std::string message, std::source_location where = std::source_location::current())
        : Exception(std::move(message), where.file_name(), static_cast<int>(where.line()))
    {
    }
    Exception(std::string message, std::string file, int line)
        : _message(std::move(message)), _file(std::move(file)), _line(line)
    {
    }
    const char* what() const noexcept override { return _message.c_str(); }
    const std::string& message() const { return _message; }
    const std::string& file() const { return _file; }
    int line() const { return _line; }

private:
    std::string _message;
    std::string _file;
    int _line;
};

// An automation error: a message with an HRESULT, the source that raised it and help details.
// file and line are where the failure was found.
class EOleException : public Exception {
public:
    EOleException(std::string message, HRESULT errorCode, std::string source, std::string helpFile, int helpContext,
                  std::string file, int line)
        : Exception(std::move(message), std::move(file), line), _errorCode(errorCode), _source(std::move(source)),
          _helpFile(std::move(helpFile)), _helpContext(helpContext)
    {
    }
    HRESULT errorCode() const { return _errorCode; }
    const std::string& source() const { return _source; }
    const std::string& helpFile() const { return _helpFile; }
    int helpContext() const { return _helpContext; }

private:
    HRESULT _errorCode;
    std::string _source;
    std::string _helpFile;
    int _helpContext;
};

// printf-style formatting into a string of any length.
std::string textf(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string vtextf(const char* format, va_list args);

// The failure convention of the connection engine and the host walk: the text, formatted once, is
// written to the log at level 2 and raised with the same text, as raised by the caller.
[[noreturn]] void raiseLogged(const std::string& text, std::source_location where = std::source_location::current());
