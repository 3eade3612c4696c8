// The child process and its settings on Linux: posix_spawn with the signals at their defaults,
// poll on both pipes, the classes root and the user registry as files.
#include "CliTestSupport.h"

#include "servers/test/TestServerPaths.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace clitest {

// --- Settings ----------------------------------------------------------------------------------

struct Environment::Saved {};

Environment::Environment() : classesPath(servers::test::kClassesPath) {}

Environment::~Environment() = default;

void Environment::setUserDword(const std::string& key, const std::string& name, std::uint32_t value)
{
    _userDwords[{key, name}] = value;
    // The whole file anew, its keys in order.
    std::string text = "Windows Registry Editor Version 5.00\n";
    const std::string* lastKey = nullptr;
    for (const auto& [where, dword] : _userDwords) {
        if (!lastKey || *lastKey != where.first) {
            text += "\n[HKEY_CURRENT_USER\\" + where.first + "]\n";
            lastKey = &where.first;
        }
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08x", dword);
        text += "\"" + where.second + "\"=dword:" + digits + "\n";
    }
    home.write("config/tagvista/user.reg", text);
}

std::vector<std::string> Environment::variables() const
{
    std::vector<std::string> vars{"TAGVISTA_CLASSES_PATH=" + classesPath, "XDG_CONFIG_HOME=" + (home / "config"),
                                  "XDG_DATA_HOME=" + (home / "data"), "HOME=" + home.str(), "LANG=C.UTF-8"};
    // The sanitizers' settings reach the child, so its reports look like the suite's own.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) vars.push_back(std::string(name) + "=" + value);
    }
    return vars;
}

// --- Stop requests -----------------------------------------------------------------------------

const std::vector<StopRequest>& stopRequests()
{
    static const std::vector<StopRequest> requests{{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}};
    return requests;
}

StopRequest interruptRequest()
{
    return {SIGINT, "SIGINT"};
}

// --- The child ---------------------------------------------------------------------------------

struct Child::Process {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Child::Child(const std::vector<std::string>& args, const Environment& environment, const std::string& workDir)
    : _process(std::make_unique<Process>())
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int number : {SIGINT, SIGTERM, SIGPIPE, SIGUSR2}) sigaddset(&defaults, number);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argv{TAGVISTA_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp;
    for (std::string& arg : argv) argp.push_back(arg.data());
    argp.push_back(nullptr);
    std::vector<std::string> env = environment.variables();
    std::vector<char*> envp;
    for (std::string& variable : env) envp.push_back(variable.data());
    envp.push_back(nullptr);

    const int spawned =
        posix_spawn(&_process->pid, TAGVISTA_CLI_PATH, &actions, &attributes, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    _process->out = out[0];
    _process->err = err[0];
    if (spawned != 0) {
        _process->pid = -1;
        throw std::runtime_error(std::string("posix_spawn failed: ") + std::strerror(spawned));
    }
}

Child::~Child()
{
    if (_process->pid > 0) {
        ::kill(_process->pid, SIGKILL);
        ::waitpid(_process->pid, nullptr, 0);
    }
    if (_process->out >= 0) ::close(_process->out);
    if (_process->err >= 0) ::close(_process->err);
}

bool Child::readSome(std::chrono::milliseconds timeout)
{
    pollfd fds[2];
    nfds_t count = 0;
    for (int fd : {_process->out, _process->err}) {
        if (fd >= 0) fds[count++] = pollfd{fd, POLLIN, 0};
    }
    if (count == 0) return false;
    const int ready = ::poll(fds, count, static_cast<int>(timeout.count()));
    if (ready < 0 && errno != EINTR) return false;
    for (nfds_t i = 0; i < count; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        const bool isOut = fds[i].fd == _process->out;
        int& fd = isOut ? _process->out : _process->err;
        std::string& text = isOut ? _outText : _errText;
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }
    return true;
}

bool Child::stop(const StopRequest& request)
{
    return _process->pid > 0 && ::kill(_process->pid, request.code) == 0;
}

void Child::closeOut()
{
    if (_process->out >= 0) ::close(_process->out);
    _process->out = -1;
}

Result Child::finish()
{
    Result result;
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(_process->pid, SIGKILL);
            break;
        }
        if (!readSome(left)) break;
    }
    int status = 0;
    ::waitpid(_process->pid, &status, 0);
    _process->pid = -1;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = _outText;
    result.err = _errText;
    return result;
}

} // namespace clitest
