// The browse filter of the address space: the pattern language of Visual Basic's Like operator,
// which clients of these servers expect. Any thread.
//
//   *            any run of characters, also none
//   ?            any one character
//   #            any one digit 0-9
//   [list]       any one character of the list; "a-z" in a list is a range (written either way
//                round), "-" first or last stands for itself
//   [!list]      any one character not in the list
//   [[] [*] [?] [#]   the special character itself
//   anything else, "]" and "!" outside a list included, stands for itself
//
// Characters are whole code points: a surrogate pair counts as one character, an unpaired
// surrogate as one character of its own.
#pragma once

#include "platform/WinTypes.h"

#include <string>
#include <string_view>
#include <vector>

namespace servers::kit {

class Wildcard {
public:
    // An empty pattern matches everything.
    Wildcard() = default;
    // False (and a pattern that matches nothing) when the pattern is malformed: a "[" without
    // its "]".
    bool compile(platform::WideStringView pattern, bool caseSensitive = true);
    bool matches(platform::WideStringView text) const;
    bool matchesAll() const { return _tokens.empty() && _matchAll; }

private:
    struct Range {
        char32_t low;
        char32_t high;
    };
    struct Token {
        enum Kind { Literal, AnyRun, AnyOne, Digit, Set } kind;
        char32_t literal = 0;
        bool negated = false;
        std::vector<Range> ranges;
    };
    bool matchFrom(std::size_t token, const std::u32string& text, std::size_t pos) const;
    bool tokenMatches(const Token& t, char32_t c) const;

    std::vector<Token> _tokens;
    bool _matchAll = true;
    bool _valid = true;
    bool _caseSensitive = true;
};

// One-shot form; a malformed pattern matches nothing.
bool matchWildcard(platform::WideStringView pattern, platform::WideStringView text, bool caseSensitive = true);

// UTF-16 to code points; unpaired surrogates kept as their own values.
std::u32string toCodePoints(platform::WideStringView text);

} // namespace servers::kit
