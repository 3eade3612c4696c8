#include "ErrorString.h"

#include "Exception.h"
#include "platform/SystemErrors.h"
#include "platform/Text.h"

#include <cstdio>
#include <mutex>

ErrorString::ErrorString(Bits bits)
{
    const std::uint32_t code = bits.code;
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) {
        if (buffer) LocalFree(buffer);
        return;
    }
    std::size_t end = length;
    while (end > 1) {
        const char c = buffer[end - 1];
        if (c != '\0' && c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
        --end;
    }
    _text.assign(buffer, end);
    LocalFree(buffer);
}

platform::WideString toWide(const std::string& text)
{
    const int size = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text.c_str(), -1, nullptr, 0);
    if (size == 0) {
        reportAssertion("size != 0", __FILE__, __LINE__);
        return platform::WideString();
    }
    platform::WideString wide(static_cast<std::size_t>(size), OLESTR('\0'));
    MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text.c_str(), -1, wide.data(), size);
    wide.resize(static_cast<std::size_t>(size) - 1);  // the terminator stays behind c_str()
    return wide;
}

std::string toNarrow(const WCHAR* text)
{
    static const WCHAR empty[] = OLESTR("");
    if (!text) text = empty;
    const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size == 0) {
        reportAssertion("size != 0", __FILE__, __LINE__);
        return std::string();
    }
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(size) - 1);
    return narrow;
}

namespace {
std::mutex handlerLock;
AssertionHandler assertionHandler;
} // namespace

void setAssertionHandler(AssertionHandler handler)
{
    std::lock_guard<std::mutex> guard(handlerLock);
    assertionHandler = std::move(handler);
}

int reportAssertion(const char* expression, const char* file, int line)
{
    const std::string where = textf("%s @ %s/%d", expression, file, line);
    const std::string question =
        textf("%s\nPress [Y]es to terminate, [N]o to continue and [C]ancel to Debug", where.c_str());
    AssertionHandler handler;
    {
        std::lock_guard<std::mutex> guard(handlerLock);
        handler = assertionHandler;
    }
    int answer = IDNO;
    if (handler) {
        answer = handler("_ASSERTE: ", question);
    } else {
        std::fprintf(stderr, "_ASSERTE: %s\n", question.c_str());
    }
    if (answer == IDYES)
        throw EOleException(textf("%s failed - %s/%d", expression, file, line), E_FAIL, file, "", 0, file, line);
    return answer;
}
