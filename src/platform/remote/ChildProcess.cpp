#include "ChildProcess.h"

#include <algorithm>
#include <cstring>

namespace platform::remote {

std::vector<std::string> splitCommandLine(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            else if (c == '\\' && quote == '"' && i + 1 < line.size())
                word += line[++i];
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

std::string oneLine(std::string text)
{
    while (!text.empty() && std::strchr(" \t\r\n", text.back())) text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && std::strchr(" \t\r\n", text[start])) ++start;
    text.erase(0, start);
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

namespace {

// How much of the standard error is kept: enough for ssh's and a shell's messages.
constexpr std::size_t kErrorOutputKept = 4096;

} // namespace

void ProgramEnd::addErrors(const char* bytes, std::size_t count)
{
    std::lock_guard lock(_mutex);
    _errors.append(bytes, count);
    if (_errors.size() > kErrorOutputKept) _errors.erase(0, _errors.size() - kErrorOutputKept);
}

void ProgramEnd::errorsEnded()
{
    std::lock_guard lock(_mutex);
    _errorsDone = true;
    _changed.notify_all();
}

void ProgramEnd::ended(std::string text)
{
    std::lock_guard lock(_mutex);
    _endText = std::move(text);
    _changed.notify_all();
}

bool ProgramEnd::waitForEnd(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(_mutex);
    if (!_changed.wait_for(lock, timeout, [this] { return !_endText.empty(); })) return false;
    // Its last words may still be on their way through the error stream.
    _changed.wait_for(lock, std::chrono::milliseconds(500), [this] { return _errorsDone; });
    return true;
}

std::string ProgramEnd::errorOutput() const
{
    std::lock_guard lock(_mutex);
    return oneLine(_errors);
}

std::string ProgramEnd::endText() const
{
    std::lock_guard lock(_mutex);
    return _endText;
}

} // namespace platform::remote
