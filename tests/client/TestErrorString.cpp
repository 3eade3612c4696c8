#include "client/ErrorString.h"
#include "ClientTestSupport.h"
#include "client/Exception.h"
#include "platform/OpcDa.h"

#include <gtest/gtest.h>

TEST(ErrorString, SystemTextLosesItsLineEnd)
{
    const ErrorString text(E_FAIL);
    ASSERT_FALSE(text.str().empty());
    const char last = text.str().back();
    EXPECT_NE(last, '\n');
    EXPECT_NE(last, '\r');
    EXPECT_NE(last, ' ');
    EXPECT_EQ(ErrorString(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)).str(), ErrorString(ERROR_ACCESS_DENIED).str());
}

TEST(ErrorString, CodeWithoutSystemTextIsEmpty)
{
    EXPECT_EQ(ErrorString(OPC_E_UNKNOWNITEMID).str(), "");
    EXPECT_EQ(ErrorString(OPC_E_INVALIDHANDLE).str(), "");
    EXPECT_EQ(std::string("Failed: ") + ErrorString(OPC_E_BADTYPE).c_str(), "Failed: ");
}

TEST(ErrorString, SFalseReadsAsCodeOne)
{
    EXPECT_EQ(ErrorString(S_FALSE).str(), ErrorString(ERROR_INVALID_FUNCTION).str());
    EXPECT_FALSE(ErrorString(S_FALSE).str().empty());
}

TEST(TextConversion, RoundTripsCyrillicAndSupplementaryCharacters)
{
    const std::string narrow = "Температура \xF0\x9F\x94\xA5 ok";  // U+1F525 is outside the BMP
    const platform::WideString wide = toWide(narrow);
    EXPECT_EQ(wide.substr(0, 11), OLESTR("Температура"));
    EXPECT_EQ(wide.size(), 11u + 1u + 2u + 3u);
    EXPECT_EQ(toNarrow(wide), narrow);
    EXPECT_EQ(toWide(""), OLESTR(""));
    EXPECT_EQ(toNarrow(nullptr), "");
}

TEST(TextConversion, UnpairedSurrogateBecomesReplacementCharacter)
{
    const WCHAR name[] = {OLESTR('A'), WCHAR(0xD800), OLESTR('B'), 0};
    EXPECT_EQ(toNarrow(name), "A\xEF\xBF\xBD" "B");
}

namespace {
struct HandlerScope {
    explicit HandlerScope(AssertionHandler handler) { setAssertionHandler(std::move(handler)); }
    ~HandlerScope() { setAssertionHandler(nullptr); }
};
} // namespace

TEST(ReportAssertion, AsksThroughTheInstalledHandler)
{
    std::string caption, text;
    HandlerScope scope([&](const std::string& c, const std::string& t) {
        caption = c;
        text = t;
        return IDNO;
    });
    EXPECT_EQ(reportAssertion("size != 0", "conv.cpp", 42), IDNO);
    EXPECT_EQ(caption, "_ASSERTE: ");
    EXPECT_EQ(text, "size != 0 @ conv.cpp/42\nPress [Y]es to terminate, [N]o to continue and [C]ancel to Debug");
}

TEST(ReportAssertion, YesRaisesAnAutomationError)
{
    HandlerScope scope([](const std::string&, const std::string&) { return IDYES; });
    try {
        reportAssertion("count > 0", "sink.cpp", 7);
        FAIL() << "expected an exception";
    } catch (const EOleException& e) {
        EXPECT_EQ(e.message(), "count > 0 failed - sink.cpp/7");
        EXPECT_EQ(e.errorCode(), E_FAIL);
        EXPECT_EQ(e.source(), "sink.cpp");
        EXPECT_EQ(e.helpFile(), "");
        EXPECT_EQ(e.helpContext(), 0);
        // Raised where the check failed, not where the question was asked.
        EXPECT_EQ(e.file(), "sink.cpp");
        EXPECT_EQ(e.line(), 7);
    }
}

TEST(Exception, KnowsTheFileAndLineThatRaisedIt)
{
    clienttest::LogCapture log(2);
    const int line = __LINE__ + 2;
    try {
        raiseLogged("plant7|Acme.1: AddGroup() Failed: ");
    } catch (const Exception& e) {
        EXPECT_EQ(e.file(), __FILE__);
        EXPECT_EQ(e.line(), line);
    }
    EXPECT_TRUE(log.contains("plant7|Acme.1: AddGroup() Failed: "));
    const Exception plain("x");
    EXPECT_EQ(plain.file(), __FILE__);
    EXPECT_EQ(plain.line(), __LINE__ - 2);
}

TEST(ReportAssertion, WithoutHandlerAnswersNo)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(reportAssertion("x", "f.cpp", 1), IDNO);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("x @ f.cpp/1"), std::string::npos);
}
