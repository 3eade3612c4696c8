// UTF-8 <-> UTF-16 conversions with the platform's size rules and error reporting.
#include "platform/Memory.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr DWORD kErrorInvalidFlags = 1004;

const char kCyrillicUtf8[] = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"; // "Привет"
const char16_t kCyrillic[] = u"Привет";
const char kEmojiUtf8[] = "\xF0\x9F\x98\x80"; // U+1F600

std::u16string toWide(const std::string& text, DWORD flags = 0, UINT codePage = CP_UTF8)
{
    const int needed = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<std::size_t>(needed), u'\0');
    if (needed > 0) MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), out.data(), needed);
    return out;
}

std::string toNarrow(const std::u16string& text)
{
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(needed), '\0');
    if (needed > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), needed, nullptr, nullptr);
    }
    return out;
}

TEST(MultiByteToWideChar, SizeQueriesCountTheTerminatorOnlyForMinusOne)
{
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kCyrillicUtf8, -1, nullptr, 0), 7);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kCyrillicUtf8, 12, nullptr, 0), 6);
    // Four bytes outside the BMP become a surrogate pair.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kEmojiUtf8, 4, nullptr, 0), 2);

    WCHAR buffer[8];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, kCyrillicUtf8, -1, buffer, 8), 7);
    EXPECT_EQ(std::u16string(buffer), kCyrillic);
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, kEmojiUtf8, -1, buffer, 8), 3);
    EXPECT_EQ(buffer[0], 0xD83D);
    EXPECT_EQ(buffer[1], 0xDE00);
    EXPECT_EQ(buffer[2], 0);
}

TEST(MultiByteToWideChar, SmallBufferFailsWithInsufficientBuffer)
{
    WCHAR buffer[7];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kCyrillicUtf8, -1, buffer, 6), 0); // the terminator does not fit
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kEmojiUtf8, 4, buffer, 1), 0); // half a pair does not do
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kCyrillicUtf8, 12, buffer, 6), 6); // exact fit, no terminator
}

TEST(MultiByteToWideChar, MalformedInputIsReplacedOrRefused)
{
    // A stray byte, a sequence cut short, an overlong form and an encoded surrogate.
    EXPECT_EQ(toWide("a\xFF" "b"), u"a\uFFFDb");
    EXPECT_EQ(toWide("\xE2\x82" "x"), u"\uFFFDx");
    EXPECT_EQ(toWide("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(toWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(toWide("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD"); // above U+10FFFF
    EXPECT_EQ(toWide(std::string("a\0b", 3)), std::u16string(u"a\0b", 3)); // explicit length keeps zeros

    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(MultiByteToWideChar, BadArgumentsAndFlags)
{
    WCHAR buffer[4];
    const struct {
        UINT codePage;
        LPCSTR text;
        int length;
        LPWSTR out;
        int outLength;
    } bad[] = {
        {CP_UTF8, nullptr, -1, buffer, 4}, {CP_UTF8, "a", 0, buffer, 4},  {CP_UTF8, "a", -2, buffer, 4},
        {CP_UTF8, "a", 1, buffer, -1},     {CP_UTF8, "a", 1, nullptr, 4}, {1252, "a", 1, buffer, 4},
    };
    for (const auto& b : bad) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(b.codePage, 0, b.text, b.length, b.out, b.outLength), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    // The system code page takes MB_PRECOMPOSED; UTF-8 proper refuses it as the platform does.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "a", 1, buffer, 4), 1);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, buffer, 4), 0);
    EXPECT_EQ(GetLastError(), kErrorInvalidFlags);
}

TEST(WideCharToMultiByte, SizesBuffersAndRoundTrip)
{
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kCyrillic, -1, nullptr, 0, nullptr, nullptr), 13);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kCyrillic, 6, nullptr, 0, nullptr, nullptr), 12);

    char buffer[16];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kCyrillic, -1, buffer, 12, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, kCyrillic, -1, buffer, 13, nullptr, nullptr), 13);
    EXPECT_STREQ(buffer, kCyrillicUtf8);

    const std::u16string mixed = u"OPC \U0001F600 Привет";
    EXPECT_EQ(toWide(toNarrow(mixed)), mixed);
}

TEST(WideCharToMultiByte, UnpairedSurrogatesAreReplacedAndReported)
{
    const char16_t loneHigh[] = {u'a', 0xD83D, u'b', 0};
    const char16_t loneLow[] = {0xDE00, 0};
    EXPECT_EQ(toNarrow(loneHigh), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(toNarrow(loneLow), "\xEF\xBF\xBD");
    // A pair cut by an explicit length leaves its first half alone.
    const char16_t pair[] = {0xD83D, 0xDE00};
    char out[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair, 1, out, 8, nullptr, nullptr), 3);

    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, loneHigh, -1, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);

    // The system code page reports replacements and may take a default character; UTF-8 proper
    // refuses both arguments.
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, loneHigh, 3, out, 8, nullptr, &used), 5);
    EXPECT_TRUE(used);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, loneHigh, 3, out, 8, "?", &used), 3);
    EXPECT_EQ(std::string(out, 3), "a?b");
    EXPECT_TRUE(used);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kCyrillic, 6, out, 0, nullptr, &used), 12);
    EXPECT_FALSE(used);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kCyrillic, 6, out, 0, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(WideCharToMultiByte, BadArguments)
{
    char out[4];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 0, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, nullptr, 4, nullptr, nullptr), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, out, -1, nullptr, nullptr), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", 1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), kErrorInvalidFlags);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, u"a", 1, out, 4, nullptr, nullptr), 1);
}

} // namespace
