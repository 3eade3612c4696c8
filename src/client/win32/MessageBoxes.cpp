#include "MessageBoxes.h"

#include "Text.h"
#include "client/form/ErrorBoxes.h"

namespace win32 {

namespace {

constexpr const char* kProgramName = "Tagvista";

int askAssertionQuestion(const std::string& caption, const std::string& text)
{
    const int answer = MessageBoxW(GetActiveWindow(), wide(text).c_str(), wide(caption).c_str(),
                                   MB_YESNOCANCEL | MB_ICONWARNING | MB_DEFBUTTON1 | MB_TASKMODAL);
    return answer == IDYES || answer == IDNO ? answer : IDCANCEL;
}

} // namespace

void showErrorMessage(HWND owner, const std::string& text)
{
    MessageBoxW(owner, wide(text).c_str(), wide(kProgramName).c_str(), MB_OK | MB_ICONERROR);
}

void installAssertionQuestion()
{
    form::installAssertionQuestion(&askAssertionQuestion);
}

} // namespace win32
