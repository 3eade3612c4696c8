#include "servers/kit/Wildcard.h"

#include <cstdint>
#include <utility>

namespace servers::kit {

std::u32string toCodePoints(platform::WideStringView text)
{
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const WCHAR c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

namespace {

// Case folding for the case-insensitive form, for the scripts item names are written in (Latin,
// Latin-1, Greek, Cyrillic). Own table rather than towlower, whose answer hangs on the locale.
char32_t fold(char32_t c)
{
    if (c >= U'A' && c <= U'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

} // namespace

bool Wildcard::compile(platform::WideStringView pattern, bool caseSensitive)
{
    _tokens.clear();
    _caseSensitive = caseSensitive;
    _valid = true;
    _matchAll = pattern.empty();
    const std::u32string p = toCodePoints(pattern);
    auto lit = [&](char32_t c) { return caseSensitive ? c : fold(c); };
    for (std::size_t i = 0; i < p.size(); ++i) {
        const char32_t c = p[i];
        Token t{};
        switch (c) {
        case U'*':
            // Runs of stars mean the same as one; keeping one keeps the matcher linear.
            if (!_tokens.empty() && _tokens.back().kind == Token::AnyRun) continue;
            t.kind = Token::AnyRun;
            break;
        case U'?':
            t.kind = Token::AnyOne;
            break;
        case U'#':
            t.kind = Token::Digit;
            break;
        case U'[': {
            std::size_t j = i + 1;
            t.kind = Token::Set;
            if (j < p.size() && p[j] == U'!') {
                t.negated = true;
                ++j;
            }
            // A "]" right after "[" or "[!" closes an empty list, which matches no character.
            while (j < p.size() && p[j] != U']') {
                char32_t low = p[j];
                if (j + 2 < p.size() && p[j + 1] == U'-' && p[j + 2] != U']') {
                    char32_t high = p[j + 2];
                    if (high < low) std::swap(low, high);
                    t.ranges.push_back({lit(low), lit(high)});
                    j += 3;
                } else {
                    t.ranges.push_back({lit(low), lit(low)});
                    ++j;
                }
            }
            if (j >= p.size()) {
                _tokens.clear();
                _valid = false;
                _matchAll = false;
                return false;
            }
            i = j;
            break;
        }
        default:
            t.kind = Token::Literal;
            t.literal = lit(c);
            break;
        }
        _tokens.push_back(std::move(t));
    }
    return true;
}

bool Wildcard::tokenMatches(const Token& t, char32_t c) const
{
    switch (t.kind) {
    case Token::Literal:
        return t.literal == c;
    case Token::AnyOne:
        return true;
    case Token::Digit:
        return c >= U'0' && c <= U'9';
    case Token::Set: {
        bool in = false;
        for (const Range& r : t.ranges) {
            if (c >= r.low && c <= r.high) {
                in = true;
                break;
            }
        }
        return in != t.negated;
    }
    case Token::AnyRun:
        break;
    }
    return false;
}

bool Wildcard::matchFrom(std::size_t token, const std::u32string& text, std::size_t pos) const
{
    // Iterative matching with one backtrack point (the last star), linear in practice and never
    // exponential, whatever a client sends as a pattern.
    std::size_t starToken = SIZE_MAX;
    std::size_t starPos = 0;
    while (pos < text.size()) {
        if (token < _tokens.size() && _tokens[token].kind == Token::AnyRun) {
            starToken = token++;
            starPos = pos;
        } else if (token < _tokens.size() && tokenMatches(_tokens[token], text[pos])) {
            ++token;
            ++pos;
        } else if (starToken != SIZE_MAX) {
            token = starToken + 1;
            pos = ++starPos;
        } else {
            return false;
        }
    }
    while (token < _tokens.size() && _tokens[token].kind == Token::AnyRun) ++token;
    return token == _tokens.size();
}

bool Wildcard::matches(platform::WideStringView text) const
{
    if (!_valid) return false;
    if (_matchAll) return true;
    std::u32string t = toCodePoints(text);
    if (!_caseSensitive) {
        for (char32_t& c : t) c = fold(c);
    }
    return matchFrom(0, t, 0);
}

bool matchWildcard(platform::WideStringView pattern, platform::WideStringView text, bool caseSensitive)
{
    Wildcard w;
    if (!w.compile(pattern, caseSensitive)) return false;
    return w.matches(text);
}

} // namespace servers::kit
