#include "MessageBoxes.h"

#include "client/ErrorString.h"
#include "client/Exception.h"
#include "platform/Dispatcher.h"
#include "platform/Text.h"

namespace win32 {

namespace {

constexpr const char* kProgramName = "Tagvista";

std::wstring wide(const std::string& text)
{
    const platform::WideString w = platform::utf8ToUtf16(text);
    return std::wstring(w.begin(), w.end());
}

int askAssertionQuestion(const std::string& caption, const std::string& text)
{
    const int answer = MessageBoxW(GetActiveWindow(), wide(text).c_str(), wide(caption).c_str(),
                                   MB_YESNOCANCEL | MB_ICONWARNING | MB_DEFBUTTON1 | MB_TASKMODAL);
    return answer == IDYES || answer == IDNO ? answer : IDCANCEL;
}

} // namespace

std::string errorText(std::exception_ptr error)
{
    try {
        if (error) std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "Неизвестная ошибка";
}

void showErrorMessage(HWND owner, const std::string& text)
{
    MessageBoxW(owner, wide(text).c_str(), wide(kProgramName).c_str(), MB_OK | MB_ICONERROR);
}

void installAssertionQuestion()
{
    setAssertionHandler([](const std::string& caption, const std::string& text) {
        platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
        if (dispatcher.isMainThread()) return askAssertionQuestion(caption, text);
        // A worker may fail a check too; the main thread answers as it runs the worker's
        // completion steps (also while it waits for a worker).
        int answer = IDCANCEL;
        dispatcher.synchronize([&] { answer = askAssertionQuestion(caption, text); });
        return answer;
    });
}

} // namespace win32
