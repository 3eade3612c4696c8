// What the windows' message boxes say, whatever draws them: the text of an error that a handler
// lets out, and the route of a failed internal check's question to the main thread.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace form {

// The message of an error as the operator reads it: the text of an Exception or of any standard
// exception, "Неизвестная ошибка" for anything else. Any thread.
std::string errorText(std::exception_ptr error);

// Installs ask (a Yes/No/Cancel question: IDYES, IDNO or IDCANCEL) as the handler of
// reportAssertion. A failed check on another thread asks through the dispatcher's main thread
// and waits for the answer there, as a completion step would. Main thread, once the dispatcher's
// main thread is bound.
void installAssertionQuestion(std::function<int(const std::string& caption, const std::string& text)> ask);

} // namespace form
