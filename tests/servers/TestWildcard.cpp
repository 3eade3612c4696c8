// The browse filter's pattern language.
#include "platform/Text.h"
#include "servers/kit/Wildcard.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

using servers::kit::matchWildcard;
using servers::kit::Wildcard;

struct Case {
    const WCHAR* pattern;
    const WCHAR* text;
    bool matches;
};

std::string utf8(const WCHAR* s)
{
    return platform::utf16ToUtf8(s);
}

// Names the case by its pattern and text in the test list.
void PrintTo(const Case& c, std::ostream* os)
{
    *os << '"' << utf8(c.pattern) << "\" ~ \"" << utf8(c.text) << '"';
}

class WildcardCases : public testing::TestWithParam<Case> {};

TEST_P(WildcardCases, MatchesAsTheLikeOperator)
{
    const Case& c = GetParam();
    EXPECT_EQ(matchWildcard(c.pattern, c.text), c.matches) << "pattern " << utf8(c.pattern) << " text " << utf8(c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, WildcardCases,
    testing::Values(
        // empty pattern and plain text
        Case{OLESTR(""), OLESTR("anything"), true}, Case{OLESTR(""), OLESTR(""), true}, Case{OLESTR("Speed"), OLESTR("Speed"), true},
        Case{OLESTR("Speed"), OLESTR("speed"), false}, Case{OLESTR("Speed"), OLESTR("Speeds"), false}, Case{OLESTR("abc"), OLESTR(""), false},
        // star: any run, also none, anywhere, several
        Case{OLESTR("*"), OLESTR(""), true}, Case{OLESTR("*"), OLESTR("x"), true}, Case{OLESTR("Sp*"), OLESTR("Speed"), true}, Case{OLESTR("*ed"), OLESTR("Speed"), true},
        Case{OLESTR("S*d"), OLESTR("Sd"), true}, Case{OLESTR("*e*e*"), OLESTR("Speed"), true}, Case{OLESTR("*e*e*e*"), OLESTR("Speed"), false},
        Case{OLESTR("a*b*c"), OLESTR("aXbYbZc"), true}, Case{OLESTR("a*b"), OLESTR("aXbYc"), false}, Case{OLESTR("***"), OLESTR("x"), true},
        // question mark: exactly one character
        Case{OLESTR("M10?"), OLESTR("M101"), true}, Case{OLESTR("M10?"), OLESTR("M10"), false}, Case{OLESTR("M10?"), OLESTR("M1011"), false},
        Case{OLESTR("?"), OLESTR("Ж"), true},
        // hash: one digit
        Case{OLESTR("Line#"), OLESTR("Line1"), true}, Case{OLESTR("Line#"), OLESTR("LineX"), false}, Case{OLESTR("#*"), OLESTR("9Lives"), true},
        Case{OLESTR("##"), OLESTR("1"), false},
        // lists and ranges
        Case{OLESTR("[MT]101"), OLESTR("T101"), true}, Case{OLESTR("[MT]101"), OLESTR("V101"), false}, Case{OLESTR("Line[1-2]"), OLESTR("Line2"), true},
        Case{OLESTR("Line[1-2]"), OLESTR("Line3"), false}, Case{OLESTR("[!MT]101"), OLESTR("V101"), true}, Case{OLESTR("[!MT]101"), OLESTR("M101"), false},
        Case{OLESTR("[a-cx-z]"), OLESTR("y"), true}, Case{OLESTR("[a-cx-z]"), OLESTR("m"), false}, Case{OLESTR("[-a]"), OLESTR("-"), true},
        Case{OLESTR("[a-]"), OLESTR("-"), true}, Case{OLESTR("[z-a]"), OLESTR("m"), true}, Case{OLESTR("[А-Я]ех1"), OLESTR("Цех1"), true},
        // the special characters themselves, and "]" and "!" outside a list
        Case{OLESTR("[*]"), OLESTR("*"), true}, Case{OLESTR("[*]"), OLESTR("a"), false}, Case{OLESTR("a[?]"), OLESTR("a?"), true}, Case{OLESTR("[#]1"), OLESTR("#1"), true},
        Case{OLESTR("[[]x"), OLESTR("[x"), true}, Case{OLESTR("a]"), OLESTR("a]"), true}, Case{OLESTR("!a"), OLESTR("!a"), true},
        // an empty list matches no character
        Case{OLESTR("a[]b"), OLESTR("ab"), false}, Case{OLESTR("a[]b"), OLESTR("axb"), false},
        // characters outside the BMP count as one
        Case{OLESTR("?"), OLESTR("\U0001F600"), true}, Case{OLESTR("Smile?"), OLESTR("Smile\U0001F600"), true}, Case{OLESTR("??"), OLESTR("\U0001F600"), false},
        Case{OLESTR("[\U0001F600]"), OLESTR("\U0001F600"), true}));

TEST(Wildcard, AMissingBracketIsAMalformedPatternThatMatchesNothing)
{
    Wildcard w;
    EXPECT_FALSE(w.compile(OLESTR("[abc")));
    EXPECT_FALSE(w.matches(OLESTR("a")));
    EXPECT_FALSE(w.matches(OLESTR("[abc")));
    EXPECT_FALSE(w.compile(OLESTR("x[!")));
    EXPECT_TRUE(w.compile(OLESTR("x]")));
    EXPECT_TRUE(w.matches(OLESTR("x]")));
}

TEST(Wildcard, CaseInsensitiveFormFoldsLatinAndCyrillic)
{
    EXPECT_TRUE(matchWildcard(OLESTR("speed*"), OLESTR("SPEEDSETPOINT"), false));
    EXPECT_TRUE(matchWildcard(OLESTR("цех#"), OLESTR("ЦЕХ1"), false));
    EXPECT_TRUE(matchWildcard(OLESTR("[a-c]X"), OLESTR("Bx"), false));
    EXPECT_FALSE(matchWildcard(OLESTR("speed*"), OLESTR("SPEED"), true));
}

TEST(Wildcard, ManyStarsAgainstALongText)
{
    const platform::WideString text(5000, OLESTR('a'));
    EXPECT_FALSE(matchWildcard(OLESTR("*a*a*a*a*a*a*a*a*a*a*b"), text));
    EXPECT_TRUE(matchWildcard(OLESTR("*a*a*a*a*a*a*a*a*a*a"), text));
}

} // namespace
