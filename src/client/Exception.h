// The error type the program raises: it carries one message text, which workers keep as their
// last error and the window shows.
#pragma once

#include "platform/WinTypes.h"

#include <cstdarg>
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : _message(std::move(message)) {}
    const char* what() const noexcept override { return _message.c_str(); }
    const std::string& message() const { return _message; }

private:
    std::string _message;
};

// An automation error: a message with an HRESULT, the source that raised it and help details.
class EOleException : public Exception {
public:
    EOleException(std::string message, HRESULT errorCode, std::string source, std::string helpFile, int helpContext)
        : Exception(std::move(message)), _errorCode(errorCode), _source(std::move(source)),
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
std::string textf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string vtextf(const char* format, va_list args);

// The failure convention of the connection engine and the host walk: the text, formatted once, is
// written to the log at level 2 and raised with the same text.
[[noreturn]] void raiseLogged(const std::string& text);
