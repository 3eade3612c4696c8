// The browse filter's pattern language.
#include "platform/Text.h"
#include "servers/kit/Wildcard.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

using servers::kit::matchWildcard;
using servers::kit::Wildcard;

struct Case {
    const char16_t* pattern;
    const char16_t* text;
    bool matches;
};

std::string utf8(const char16_t* s)
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
        Case{u"", u"anything", true}, Case{u"", u"", true}, Case{u"Speed", u"Speed", true},
        Case{u"Speed", u"speed", false}, Case{u"Speed", u"Speeds", false}, Case{u"abc", u"", false},
        // star: any run, also none, anywhere, several
        Case{u"*", u"", true}, Case{u"*", u"x", true}, Case{u"Sp*", u"Speed", true}, Case{u"*ed", u"Speed", true},
        Case{u"S*d", u"Sd", true}, Case{u"*e*e*", u"Speed", true}, Case{u"*e*e*e*", u"Speed", false},
        Case{u"a*b*c", u"aXbYbZc", true}, Case{u"a*b", u"aXbYc", false}, Case{u"***", u"x", true},
        // question mark: exactly one character
        Case{u"M10?", u"M101", true}, Case{u"M10?", u"M10", false}, Case{u"M10?", u"M1011", false},
        Case{u"?", u"Ж", true},
        // hash: one digit
        Case{u"Line#", u"Line1", true}, Case{u"Line#", u"LineX", false}, Case{u"#*", u"9Lives", true},
        Case{u"##", u"1", false},
        // lists and ranges
        Case{u"[MT]101", u"T101", true}, Case{u"[MT]101", u"V101", false}, Case{u"Line[1-2]", u"Line2", true},
        Case{u"Line[1-2]", u"Line3", false}, Case{u"[!MT]101", u"V101", true}, Case{u"[!MT]101", u"M101", false},
        Case{u"[a-cx-z]", u"y", true}, Case{u"[a-cx-z]", u"m", false}, Case{u"[-a]", u"-", true},
        Case{u"[a-]", u"-", true}, Case{u"[z-a]", u"m", true}, Case{u"[А-Я]ех1", u"Цех1", true},
        // the special characters themselves, and "]" and "!" outside a list
        Case{u"[*]", u"*", true}, Case{u"[*]", u"a", false}, Case{u"a[?]", u"a?", true}, Case{u"[#]1", u"#1", true},
        Case{u"[[]x", u"[x", true}, Case{u"a]", u"a]", true}, Case{u"!a", u"!a", true},
        // an empty list matches no character
        Case{u"a[]b", u"ab", false}, Case{u"a[]b", u"axb", false},
        // characters outside the BMP count as one
        Case{u"?", u"\U0001F600", true}, Case{u"Smile?", u"Smile\U0001F600", true}, Case{u"??", u"\U0001F600", false},
        Case{u"[\U0001F600]", u"\U0001F600", true}));

TEST(Wildcard, AMissingBracketIsAMalformedPatternThatMatchesNothing)
{
    Wildcard w;
    EXPECT_FALSE(w.compile(u"[abc"));
    EXPECT_FALSE(w.matches(u"a"));
    EXPECT_FALSE(w.matches(u"[abc"));
    EXPECT_FALSE(w.compile(u"x[!"));
    EXPECT_TRUE(w.compile(u"x]"));
    EXPECT_TRUE(w.matches(u"x]"));
}

TEST(Wildcard, CaseInsensitiveFormFoldsLatinAndCyrillic)
{
    EXPECT_TRUE(matchWildcard(u"speed*", u"SPEEDSETPOINT", false));
    EXPECT_TRUE(matchWildcard(u"цех#", u"ЦЕХ1", false));
    EXPECT_TRUE(matchWildcard(u"[a-c]X", u"Bx", false));
    EXPECT_FALSE(matchWildcard(u"speed*", u"SPEED", true));
}

TEST(Wildcard, ManyStarsAgainstALongText)
{
    const std::u16string text(5000, u'a');
    EXPECT_FALSE(matchWildcard(u"*a*a*a*a*a*a*a*a*a*a*b", text));
    EXPECT_TRUE(matchWildcard(u"*a*a*a*a*a*a*a*a*a*a", text));
}

} // namespace
