// The program's message boxes: an error that a handler lets out, and the question the failed
// internal check asks (installed as the assertion handler of ErrorString.h).
#pragma once

#include <QString>

#include <exception>
#include <string>

class QWidget;

// The message of an error as the operator reads it: the text of an Exception or of any standard
// exception, "Неизвестная ошибка" for anything else. Any thread.
QString errorText(std::exception_ptr error);

// A modal error box with an OK button, titled with the program's name. Main thread.
void showErrorMessage(QWidget* parent, const QString& text);

// The Yes/No/Cancel question with the given caption and text, as a warning box: IDYES, IDNO or
// IDCANCEL (also when the box is closed without an answer). Main thread.
int askAssertionQuestion(const std::string& caption, const std::string& text);

// Installs the question as the handler of reportAssertion. A failed check on another thread
// asks through the dispatcher's main thread and waits for the answer there, as a completion step
// would. Main thread, once the dispatcher's main thread is bound.
void installAssertionQuestion();
