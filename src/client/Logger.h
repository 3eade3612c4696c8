// The process-wide log writer: one line per message, prefixed with the local time of day, to the
// standard output (when the process has one) and appended to a log file. Any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace logg {

// Call sites guard every message by its level: a message of level N is written only while the
// threshold is at least N. Levels in use: 2 failures, 5 server details, 6 entry into a
// connection operation, 7 progress and state changes.
class Logger {
public:
    // Created on first use, with threshold 7, the file "default.log" in the current directory
    // and the standard output as console.
    static Logger& instance();

    // Formats one message (printf conventions) and writes it as one line. Never fails towards
    // the caller; a message of any length is written whole. A ready text must be passed as
    // print("%s", text) so that a per cent sign in it is written as it is.
    void print(const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));

    // Read without the lock by every call site; any thread.
    int level() const { return _level.load(std::memory_order_relaxed); }
    void setLevel(int level) { _level.store(level, std::memory_order_relaxed); }

    // Replaces the file name whole; at most 260 characters are taken. An empty name writes no
    // file at all.
    void setFileName(const std::string& fileName);
    std::string fileName() const;
    // The console descriptor (the standard output at creation, -1 when there is none). The
    // command-line tool points it at the standard error.
    void setConsole(int fd);

private:
    Logger();
    // Writes one ready line (time stamp, indent, message, line feed) in a single write.
    void writeLine(int fd, const std::string& line, bool toOem);

    static constexpr std::size_t kMaxFileName = 260;

    mutable std::recursive_mutex _lock;  // held for the whole of each write
    std::string _fileName;
    int _console;
    std::uint32_t _indent = 0;           // units of four blanks after the time stamp
    std::atomic<int> _level{7};
};

// A scoped lock on a recursive mutex.
class Locker {
public:
    explicit Locker(std::recursive_mutex* lock) : _lock(lock) { _lock->lock(); }
    ~Locker() { _lock->unlock(); }
    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;

private:
    std::recursive_mutex* _lock;
};

} // namespace logg

// Writes a message when the threshold allows it; the arguments are not evaluated otherwise.
#define LOGG(messageLevel, ...)                                                                        \
    do {                                                                                        \
        if (::logg::Logger::instance().level() >= (messageLevel)) ::logg::Logger::instance().print(__VA_ARGS__); \
    } while (0)
