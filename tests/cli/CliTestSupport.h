// Helpers of the command-line tests: temporary folders, tagvista-cli run as a child process with
// settings of its own and read through pipes against deadlines, the stop requests of each system,
// and readers of the CSV and JSON Lines it writes. Test thread only.
//
// The child and its settings are the system's part (unix/CliProcess.cpp, windows/CliProcess.cpp):
// on Linux the classes root is the build's classes folders and the user registry a file in a home
// folder of the test's own; on Windows both are the registry of the system (under Wine, of the
// build tree's prefix), where the test servers' settings are written for the test's time and then
// put back.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace clitest {

using namespace std::chrono_literals;

// Generous: a sanitizer build or Wine on a busy machine is slow, and a deadline only ends a wait.
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

// The settings the commands of a test run with. Linux: the classes root (the build's classes
// folders unless changed) and a home of its own for the user registry and the data folder.
// Windows: the system's registry; classesPath and home mean nothing to the child there.
struct Environment {
    Environment();
    // Windows: puts back the user values set through this object.
    ~Environment();
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    std::string classesPath;
    TempDir home;

    // HKEY_CURRENT_USER\<key> "<name>" as a DWORD, for the servers the commands create.
    void setUserDword(const std::string& key, const std::string& name, std::uint32_t value);
    // How long the test servers' hangs last.
    void setHangMilliseconds(unsigned milliseconds);
    // The child's environment variables, NAME=value each.
    std::vector<std::string> variables() const;

    struct Saved;

private:
    std::map<std::pair<std::string, std::string>, std::uint32_t> _userDwords;
    std::unique_ptr<Saved> _saved;  // Windows: what the user values were before
};

struct Result {
    int exitCode = -1;  // -1 when the process did not end by exit
    int signal = 0;     // Linux: the signal that ended it, if one did
    bool timedOut = false;
    std::string out;
    std::string err;
    std::vector<std::string> outLines() const;
    std::vector<std::string> errLines() const;
};

// A stop request as a user or a script sends one to a console program.
struct StopRequest {
    int code;          // Linux: the signal; Windows: the console event
    const char* name;  // for the test's messages
};
// Each kind this system has that a test can send: SIGINT and SIGTERM on Linux; Ctrl-C on Windows
// (Wine cannot generate Ctrl-Break, and a closing console cannot be made by a program).
const std::vector<StopRequest>& stopRequests();
// What a user's Ctrl-C sends.
StopRequest interruptRequest();

// tagvista-cli of this build with the given arguments, its standard output and error on pipes,
// its standard input empty, Ctrl-C at its default whatever this process does with it. Killed by
// the destructor when still running.
class Child {
public:
    Child(const std::vector<std::string>& args, const Environment& environment, const std::string& workDir = "");
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads both pipes until ready(out, err) or the deadline; false at the deadline or when both
    // pipes ended first.
    bool readUntil(const std::function<bool(const std::string& out, const std::string& err)>& ready);
    // False when the system did not take the request.
    bool stop(const StopRequest& request);
    // The reader of the standard output goes away.
    void closeOut();
    // Reads to the end of both pipes and collects the exit; kills the child at the deadline.
    Result finish();

    struct Process;

private:
    // One round of reading, waiting at most timeout; false when nothing is left to read.
    bool readSome(std::chrono::milliseconds timeout);

    std::unique_ptr<Process> _process;
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
