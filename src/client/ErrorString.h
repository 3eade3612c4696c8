// The system's text for an error code, the conversions between the system code page and UTF-16
// that every name exchanged with a server goes through, and the report of a failed internal check.
#pragma once

#include "platform/WinTypes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>

// The system's message for an HRESULT or a Win32 error code, trailing blanks, tabs, line ends and
// zero bytes cut (never the first character); empty when the system has no text (most OPC codes).
// Any thread.
class ErrorString {
public:
    // Any integral code: an HRESULT is taken by its 32 bits, as the system looks it up.
    template <class Code, std::enable_if_t<std::is_integral_v<Code>, int> = 0>
    explicit ErrorString(Code code) : ErrorString(Bits{static_cast<std::uint32_t>(code)})
    {
    }
    const std::string& str() const { return _text; }
    const char* c_str() const { return _text.c_str(); }

private:
    struct Bits {
        std::uint32_t code;
    };
    explicit ErrorString(Bits bits);

    std::string _text;
};

// System code page (UTF-8) to UTF-16, precomposed characters preferred. A conversion that yields
// nothing is reported as the failed check "size != 0" and gives the empty text. Any thread.
platform::WideString toWide(const std::string& text);
// UTF-16 to the system code page; characters it cannot hold become its replacement character.
// A null text converts as the empty one. Any thread.
std::string toNarrow(const WCHAR* text);
inline std::string toNarrow(const platform::WideString& text) { return toNarrow(text.c_str()); }

// Asks the user what to do about a failed internal check: the text "<expression> @ <file>/<line>".
// Yes raises an EOleException ("<expression> failed - <file>/<line>", E_FAIL, source = file);
// otherwise the answer is returned (Cancel: the caller breaks into the debugger; No: carry on).
int reportAssertion(const char* expression, const char* file, int line);

// How the question is asked: the window installs a message box; without a handler the text goes
// to the standard error and the answer is No. The handler gets the caption and the text.
using AssertionHandler = std::function<int(const std::string& caption, const std::string& text)>;
void setAssertionHandler(AssertionHandler handler);
