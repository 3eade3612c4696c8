// A program this one starts to talk to: its standard input and output are one stream of ours,
// its standard error is kept (the last few kilobytes) to quote when it fails. The system's part
// lives in unix/ (and windows/).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::remote {

class ChildProcess {
public:
    // Starts argv[0], found on the PATH, with argv. Null with the reason in error.
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv, std::string& error);

    // Ends the stream, gives the program a moment to end on its own, then kills it.
    virtual ~ChildProcess() = default;

    // Writes all of it; false once the program's input has gone. Never raises a signal. Any
    // thread, one writer at a time.
    virtual bool write(const std::uint8_t* bytes, std::size_t count) = 0;
    // Waits for output; the byte count, 0 at its end (or after stop()), negative on failure.
    // One reader thread.
    virtual long read(std::uint8_t* bytes, std::size_t count) = 0;
    // Ends both directions of the stream: a waiting read() returns 0, the program's input ends.
    virtual void stop() = 0;
    // Waits until the program has ended, at most timeout; true when it has.
    virtual bool waitForEnd(std::chrono::milliseconds timeout) = 0;
    // What the program wrote to its standard error so far, its last lines, trimmed.
    virtual std::string errorOutput() const = 0;
    // How it ended ("exit code 255", "killed by signal 9"); "" while it runs.
    virtual std::string endText() const = 0;
};

// What both systems' processes keep of a program while it runs and after it ends: the last
// kilobytes of its standard error and how it ended. Any thread.
class ProgramEnd {
public:
    // The reader of the error stream: what came, then that it has ended.
    void addErrors(const char* bytes, std::size_t count);
    void errorsEnded();
    // The watcher of the program: how it ended ("exit code 255").
    void ended(std::string text);

    // As ChildProcess::waitForEnd, errorOutput and endText.
    bool waitForEnd(std::chrono::milliseconds timeout);
    std::string errorOutput() const;
    std::string endText() const;

private:
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    std::string _errors;       // guarded by _mutex
    std::string _endText;      // guarded by _mutex; set once the program has ended
    bool _errorsDone = false;  // guarded by _mutex; the error stream has ended
};

// What a program wrote, as one line of a tree or a log: trimmed, its line ends made blanks.
std::string oneLine(std::string text);

// Splits a command line into words: blanks separate, single and double quotes group, a backslash
// takes the next character as it is. Used for the ssh and agent commands of the settings.
std::vector<std::string> splitCommandLine(const std::string& line);

} // namespace platform::remote
