// The layer's whole-string conversions between UTF-8 and UTF-16, and the code page they assume.
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kCyrillicUtf8[] = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"; // "Привет"
const WCHAR* const kCyrillic = OLESTR("Привет");
const char kEmojiUtf8[] = "\xF0\x9F\x98\x80"; // U+1F600

TEST(TextHelpers, WholeStringConversions)
{
    EXPECT_EQ(platform::utf8ToUtf16(kCyrillicUtf8), kCyrillic);
    EXPECT_EQ(platform::utf16ToUtf8(kCyrillic), kCyrillicUtf8);
    EXPECT_EQ(platform::utf16ToUtf8(platform::utf8ToUtf16(kEmojiUtf8)), kEmojiUtf8);
    EXPECT_EQ(platform::utf8ToUtf16(kEmojiUtf8).size(), 2u);  // a surrogate pair
    EXPECT_EQ(platform::utf8ToUtf16(""), platform::WideString());
    EXPECT_EQ(platform::utf16ToUtf8(platform::WideStringView()), "");
    // Embedded zeros are characters like any other.
    EXPECT_EQ(platform::utf8ToUtf16(std::string("a\0b", 3)).size(), 3u);
}

TEST(TextHelpers, MalformedInputBecomesTheReplacementCharacter)
{
    EXPECT_EQ(platform::utf8ToUtf16("x\xE2\x82"), OLESTR("x\uFFFD"));
    EXPECT_EQ(platform::utf16ToUtf8(platform::WideString(1, WCHAR(0xDC00))), "\xEF\xBF\xBD");
}

TEST(TextHelpers, TheSystemCodePageIsUtf8)
{
    // Every 8-bit text of the program is UTF-8, also where the system's functions take it.
    EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
    EXPECT_EQ(lstrlenW(kCyrillic), 6);
    EXPECT_EQ(lstrlenW(nullptr), 0);
}

} // namespace
