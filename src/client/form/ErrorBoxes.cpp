#include "client/form/ErrorBoxes.h"

#include "client/ErrorString.h"
#include "client/Exception.h"
#include "platform/Dispatcher.h"

namespace form {

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

void installAssertionQuestion(std::function<int(const std::string& caption, const std::string& text)> ask)
{
    setAssertionHandler([ask = std::move(ask)](const std::string& caption, const std::string& text) {
        platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
        if (dispatcher.isMainThread()) return ask(caption, text);
        // A worker may fail a check too; windows belong to the main thread, which answers as it
        // runs the worker's completion steps (also while it waits for a worker).
        int answer = IDCANCEL;
        dispatcher.synchronize([&] { answer = ask(caption, text); });
        return answer;
    });
}

} // namespace form
