// The program's stream is a socket pair, not two pipes: a write to a program that has gone then
// fails with EPIPE instead of raising SIGPIPE in this process (send with MSG_NOSIGNAL), and one
// shutdown ends both directions.
#include "platform/remote/ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform::remote {

namespace {

class UnixChildProcess final : public ChildProcess {
public:
    UnixChildProcess(pid_t pid, int stream, int errorPipe) : _pid(pid), _stream(stream), _errorPipe(errorPipe)
    {
        _errorReader = std::thread([this] { readErrors(); });
        _reaper = std::thread([this] { reap(); });
    }

    ~UnixChildProcess() override
    {
        stop();
        if (!waitForEnd(std::chrono::seconds(2))) {
            ::kill(_pid, SIGTERM);
            if (!waitForEnd(std::chrono::seconds(2))) ::kill(_pid, SIGKILL);
        }
        _reaper.join();
        // The program's children (ssh's own helpers) may keep its standard error open; the
        // reader ends when the pipe's last writer has gone or we stop caring about it.
        ::shutdown(_errorPipe, SHUT_RDWR);
        _errorReader.join();
        ::close(_errorPipe);
        ::close(_stream);
    }

    bool write(const std::uint8_t* bytes, std::size_t count) override
    {
        while (count > 0) {
            const ssize_t sent = ::send(_stream, bytes, count, MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            bytes += sent;
            count -= static_cast<std::size_t>(sent);
        }
        return true;
    }

    long read(std::uint8_t* bytes, std::size_t count) override
    {
        for (;;) {
            const ssize_t got = ::recv(_stream, bytes, count, 0);
            if (got < 0 && errno == EINTR) continue;
            return static_cast<long>(got);
        }
    }

    void stop() override { ::shutdown(_stream, SHUT_RDWR); }

    bool waitForEnd(std::chrono::milliseconds timeout) override { return _end.waitForEnd(timeout); }
    std::string errorOutput() const override { return _end.errorOutput(); }
    std::string endText() const override { return _end.endText(); }

private:
    void readErrors()
    {
        char buffer[1024];
        for (;;) {
            const ssize_t got = ::read(_errorPipe, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                _end.errorsEnded();
                return;
            }
            _end.addErrors(buffer, static_cast<std::size_t>(got));
        }
    }

    void reap()
    {
        int status = 0;
        while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
        }
        std::string text;
        if (WIFEXITED(status))
            text = "exit code " + std::to_string(WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            text = "killed by signal " + std::to_string(WTERMSIG(status));
        else
            text = "ended";
        _end.ended(text);
    }

    pid_t _pid;
    int _stream;
    int _errorPipe;
    ProgramEnd _end;
    std::thread _errorReader;
    std::thread _reaper;
};

} // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv, std::string& error)
{
    if (argv.empty() || argv[0].empty()) {
        error = "no program to start";
        return nullptr;
    }
    int stream[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stream) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return nullptr;
    }
    // The standard error is a socket too, so that the destructor can end its reader even while a
    // helper of the program still holds the other end.
    int errors[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, errors) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        ::close(stream[0]);
        ::close(stream[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stream[1], 0);
    posix_spawn_file_actions_adddup2(&actions, stream[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A process group of its own: the terminal's Ctrl-C is this program's to handle, and it ends
    // the connection in order rather than killing ssh under it.
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> arguments;
    for (const std::string& word : argv) arguments.push_back(const_cast<char*>(word.c_str()));
    arguments.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(stream[1]);
    ::close(errors[1]);
    if (spawned != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(spawned);
        ::close(stream[0]);
        ::close(errors[0]);
        return nullptr;
    }
    return std::make_unique<UnixChildProcess>(pid, stream[0], errors[0]);
}

} // namespace platform::remote
