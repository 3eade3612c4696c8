// The line forms of the watch: each form read back by a strict reader must give the texts that
// went in, whatever characters a server puts into them.
#include "CliTestSupport.h"
#include "WatchFormat.h"

#include <gtest/gtest.h>

using namespace cli;
using namespace clitest;

namespace {

// Texts a server can hand over: separators of every form, control characters, quotes and
// backslashes, multi-byte UTF-8 (Cyrillic, outside the BMP) and an empty one.
const std::vector<std::string> kAwkwardTexts{
    "",
    "plain",
    "Привет, мир",
    "Smile\xF0\x9F\x98\x80",
    "say \"hi\"",
    "back\\slash",
    "tab\there",
    "line\nbreak\r\nand CR\r",
    std::string("nul\0byte", 8),
    "\x01\x1F\x7F esc \x1B[31m",
    ",,,",
    "\"",
};

} // namespace

TEST(WatchFormat, FormatNames)
{
    EXPECT_EQ(watchFormatFromName("text"), WatchFormat::Text);
    EXPECT_EQ(watchFormatFromName("csv"), WatchFormat::Csv);
    EXPECT_EQ(watchFormatFromName("json"), WatchFormat::Json);
    EXPECT_EQ(watchFormatFromName("JSON"), std::nullopt);
    EXPECT_EQ(watchFormatFromName("xml"), std::nullopt);
}

TEST(WatchFormat, TextKeepsOneRecordOnOneLineWithFiveFields)
{
    for (const std::string& text : kAwkwardTexts) {
        const std::string line = watchLine(WatchFormat::Text, WatchRow{text, "VT_BSTR", text, "12:00:00:000", text});
        ASSERT_EQ(line.back(), '\n') << text;
        const std::string body = line.substr(0, line.size() - 1);
        EXPECT_EQ(body.find_first_of(std::string("\r\n\x1B\x7F\0", 5)), std::string::npos) << text;
        const std::vector<std::string> fields = splitTabs(body);
        ASSERT_EQ(fields.size(), 5u) << text;
        EXPECT_EQ(fields[0], oneLine(text));
        EXPECT_EQ(fields[1], "VT_BSTR");
        EXPECT_EQ(fields[3], "12:00:00:000");
    }
    // Printable text, UTF-8 included, passes untouched; C1 controls go like C0 ones.
    EXPECT_EQ(oneLine("Привет, мир \"x\" \\"), "Привет, мир \"x\" \\");
    EXPECT_EQ(oneLine("a\tb\nc"), "a b c");
    EXPECT_EQ(oneLine("csi\xC2\x9B" "31m"), "csi 31m");
    EXPECT_EQ(oneLine("\xC2\xA0nbsp"), "\xC2\xA0nbsp");
}

TEST(WatchFormat, CsvReadsBackExactly)
{
    std::string text = watchHeader(WatchFormat::Csv);
    for (const std::string& value : kAwkwardTexts)
        text += watchLine(WatchFormat::Csv, WatchRow{"X/" + value, "VT_BSTR", value, "t", "GOOD"});
    const auto records = parseCsv(text);
    ASSERT_TRUE(records) << text;
    ASSERT_EQ(records->size(), kAwkwardTexts.size() + 1);
    EXPECT_EQ((*records)[0], (std::vector<std::string>{"path", "type", "value", "time", "quality"}));
    for (std::size_t i = 0; i < kAwkwardTexts.size(); ++i) {
        EXPECT_EQ((*records)[i + 1],
                  (std::vector<std::string>{"X/" + kAwkwardTexts[i], "VT_BSTR", kAwkwardTexts[i], "t", "GOOD"}));
    }
    // Quoted only when it has to be.
    EXPECT_EQ(csvField("12.5"), "12.5");
    EXPECT_EQ(csvField("1,5"), "\"1,5\"");
    EXPECT_EQ(csvField("a \"b\""), "\"a \"\"b\"\"\"");
    EXPECT_EQ(watchHeader(WatchFormat::Text), "");
    EXPECT_EQ(watchHeader(WatchFormat::Json), "");
}

TEST(WatchFormat, JsonLinesReadBackExactly)
{
    for (const std::string& value : kAwkwardTexts) {
        const std::string line = watchLine(WatchFormat::Json, WatchRow{value, "VT_BSTR", value, "t", "q"});
        ASSERT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one object per line";
        const auto object = parseJsonObject(line.substr(0, line.size() - 1));
        ASSERT_TRUE(object) << line;
        EXPECT_EQ(*object, (std::map<std::string, std::string>{
                               {"path", value}, {"type", "VT_BSTR"}, {"value", value}, {"time", "t"}, {"quality", "q"}}));
    }
    EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

TEST(WatchFormat, JsonReplacesBytesThatAreNotUtf8)
{
    // A stray continuation byte, a cut sequence, an overlong slash, an encoded surrogate, a code
    // point past U+10FFFF: each offending byte becomes U+FFFD, the rest stays.
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(jsonString("a\x80z"), "\"a" + replacement + "z\"");
    EXPECT_EQ(jsonString("cut\xD0"), "\"cut" + replacement + "\"");
    EXPECT_EQ(jsonString("\xC0\xAF"), "\"" + replacement + replacement + "\"");
    EXPECT_EQ(jsonString("\xED\xA0\x80"), "\"" + replacement + replacement + replacement + "\"");
    EXPECT_EQ(jsonString("\xF4\x90\x80\x80"), "\"" + replacement + replacement + replacement + replacement + "\"");
    // The edges that are valid stay as they are.
    EXPECT_EQ(jsonString("\xF4\x8F\xBF\xBF"), "\"\xF4\x8F\xBF\xBF\"");
    EXPECT_EQ(jsonString("\xEF\xBF\xBF"), "\"\xEF\xBF\xBF\"");
    EXPECT_TRUE(parseJsonObject("{\"v\":" + jsonString("x\xFF\xFEy") + "}"));
}
