// Helpers of the command-line tests: temporary folders, tagvista-cli run as a child process with
// an environment of its own (the build's classes folders, a user registry in a temporary folder)
// and read through pipes against deadlines, and readers of the CSV and JSON Lines it writes.
// Test thread only.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace clitest {

using namespace std::chrono_literals;

// Generous: a sanitizer build on a busy machine is slow, and a deadline only ends a wait.
constexpr std::chrono::seconds kDeadline{60};

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& str() const { return _path; }
    std::string operator/(const std::string& name) const { return _path + "/" + name; }
    void write(const std::string& name, const std::string& text) const;
    std::vector<std::string> entries() const;

private:
    std::string _path;
};

// The environment a command runs in: the classes root (the build's classes folders unless
// changed), and a home of its own for the user registry and the data folder.
struct Environment {
    Environment();
    std::string classesPath;
    TempDir home;
    // Sets HKEY_CURRENT_USER\Software\Tagvista\TestServer "HangMilliseconds" for the test servers.
    void setHangMilliseconds(unsigned milliseconds) const;
    std::vector<std::string> variables() const;
};

struct Result {
    int exitCode = -1;  // -1 when the process did not end by exit
    int signal = 0;     // the signal that ended it, if one did
    bool timedOut = false;
    std::string out;
    std::string err;
    std::vector<std::string> outLines() const;
    std::vector<std::string> errLines() const;
};

// tagvista-cli with the given arguments, its standard output and error on pipes, its standard
// input empty, the stop signals at their defaults whatever this process has. Killed by the
// destructor when still running.
class Child {
public:
    Child(const std::vector<std::string>& args, const Environment& environment, const std::string& workDir = "");
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads both pipes until ready(out, err) or the deadline; false at the deadline or when both
    // pipes ended first.
    bool readUntil(const std::function<bool(const std::string& out, const std::string& err)>& ready);
    void signal(int number);
    // The reader of the standard output goes away.
    void closeOut();
    // Reads to the end of both pipes and collects the exit; kills the child at the deadline.
    Result finish();

private:
    // One round of reading; false when nothing is left to read.
    bool readSome(int timeoutMs);

    pid_t _pid = -1;
    int _out = -1;
    int _err = -1;
    std::string _outText;
    std::string _errText;
};

// Runs a command to its end.
Result run(const std::vector<std::string>& args, const Environment& environment = Environment());

std::vector<std::string> splitLines(const std::string& text);
std::vector<std::string> splitTabs(const std::string& line);

// The records of an RFC 4180 text (LF or CRLF line ends); nothing when it is not well formed.
std::optional<std::vector<std::vector<std::string>>> parseCsv(const std::string& text);
// One JSON object whose values are all strings, its escapes decoded (\uXXXX with surrogate pairs
// to UTF-8); nothing when the line is anything else.
std::optional<std::map<std::string, std::string>> parseJsonObject(const std::string& line);

} // namespace clitest
