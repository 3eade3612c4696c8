#include "CliTestSupport.h"

#include "servers/test/TestServerPaths.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace clitest {

namespace {

using Clock = std::chrono::steady_clock;

void appendUtf8(std::string& out, unsigned codePoint)
{
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

} // namespace

// --- Folders and environment --------------------------------------------------------------------

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tagvista-cli-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    _path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
}

void TempDir::write(const std::string& name, const std::string& text) const
{
    std::filesystem::create_directories(std::filesystem::path(*this / name).parent_path());
    std::ofstream out(*this / name, std::ios::binary);
    out << text;
}

std::vector<std::string> TempDir::entries() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(_path)) names.push_back(entry.path().filename());
    return names;
}

Environment::Environment() : classesPath(servers::test::kClassesPath) {}

void Environment::setHangMilliseconds(unsigned milliseconds) const
{
    char value[16];
    std::snprintf(value, sizeof value, "%08x", milliseconds);
    home.write("config/tagvista/user.reg", std::string("Windows Registry Editor Version 5.00\n\n"
                                                       "[HKEY_CURRENT_USER\\Software\\Tagvista\\TestServer]\n"
                                                       "\"HangMilliseconds\"=dword:") +
                                               value + "\n");
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

// --- The child ---------------------------------------------------------------------------------

Child::Child(const std::vector<std::string>& args, const Environment& environment, const std::string& workDir)
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

    const int spawned = posix_spawn(&_pid, TAGVISTA_CLI_PATH, &actions, &attributes, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    _out = out[0];
    _err = err[0];
    if (spawned != 0) {
        _pid = -1;
        throw std::runtime_error(std::string("posix_spawn failed: ") + std::strerror(spawned));
    }
}

Child::~Child()
{
    if (_pid > 0) {
        ::kill(_pid, SIGKILL);
        ::waitpid(_pid, nullptr, 0);
    }
    if (_out >= 0) ::close(_out);
    if (_err >= 0) ::close(_err);
}

bool Child::readSome(int timeoutMs)
{
    pollfd fds[2];
    nfds_t count = 0;
    for (int fd : {_out, _err}) {
        if (fd >= 0) fds[count++] = pollfd{fd, POLLIN, 0};
    }
    if (count == 0) return false;
    const int ready = ::poll(fds, count, timeoutMs);
    if (ready < 0 && errno != EINTR) return false;
    for (nfds_t i = 0; i < count; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        int& fd = fds[i].fd == _out ? _out : _err;
        std::string& text = fds[i].fd == _out ? _outText : _errText;
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }
    return true;
}

bool Child::readUntil(const std::function<bool(const std::string& out, const std::string& err)>& ready)
{
    const auto deadline = Clock::now() + kDeadline;
    while (!ready(_outText, _errText)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        if (!readSome(static_cast<int>(left))) return ready(_outText, _errText);
    }
    return true;
}

void Child::signal(int number)
{
    if (_pid > 0) ::kill(_pid, number);
}

void Child::closeOut()
{
    if (_out >= 0) ::close(_out);
    _out = -1;
}

Result Child::finish()
{
    Result result;
    const auto deadline = Clock::now() + kDeadline;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            ::kill(_pid, SIGKILL);
            break;
        }
        if (!readSome(static_cast<int>(left))) break;
    }
    int status = 0;
    ::waitpid(_pid, &status, 0);
    _pid = -1;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = _outText;
    result.err = _errText;
    return result;
}

Result run(const std::vector<std::string>& args, const Environment& environment)
{
    Child child(args, environment);
    return child.finish();
}

// --- Texts ---------------------------------------------------------------------------------

std::vector<std::string> Result::outLines() const
{
    return splitLines(out);
}

std::vector<std::string> Result::errLines() const
{
    return splitLines(err);
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> splitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find('\t', start);
        fields.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return fields;
        start = end + 1;
    }
}

std::optional<std::vector<std::vector<std::string>>> parseCsv(const std::string& text)
{
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;       // inside a quoted field
    bool wasQuoted = false;    // the current field was quoted: only a separator may follow
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
                wasQuoted = true;
            }
            continue;
        }
        if (c == ',' || c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            record.push_back(field);
            field.clear();
            wasQuoted = false;
            if (c == '\r') ++i;
            if (c != ',') {
                records.push_back(record);
                record.clear();
            }
            continue;
        }
        if (wasQuoted) return std::nullopt;
        if (c == '"') {
            if (!field.empty()) return std::nullopt;
            quoted = true;
            continue;
        }
        if (c == '\r') return std::nullopt;  // a bare CR is quoted by the writer
        field += c;
    }
    if (quoted) return std::nullopt;
    if (!field.empty() || !record.empty()) {
        record.push_back(field);
        records.push_back(record);
    }
    return records;
}

std::optional<std::map<std::string, std::string>> parseJsonObject(const std::string& line)
{
    std::size_t at = 0;
    const auto skipBlanks = [&] {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    };
    const auto hex4 = [&](unsigned& value) {
        if (at + 4 > line.size()) return false;
        value = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = line[at++];
            value <<= 4;
            if (c >= '0' && c <= '9') value |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') value |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') value |= static_cast<unsigned>(c - 'A' + 10);
            else return false;
        }
        return true;
    };
    const auto string = [&](std::string& out) {
        if (at >= line.size() || line[at] != '"') return false;
        ++at;
        while (at < line.size()) {
            const auto c = static_cast<unsigned char>(line[at++]);
            if (c == '"') return true;
            if (c < 0x20) return false;  // must have been escaped
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at >= line.size()) return false;
            const char e = line[at++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned unit = 0;
                if (!hex4(unit)) return false;
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    unsigned low = 0;
                    if (line.compare(at, 2, "\\u") != 0) return false;
                    at += 2;
                    if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    return false;
                }
                appendUtf8(out, unit);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    };

    std::map<std::string, std::string> object;
    skipBlanks();
    if (at >= line.size() || line[at++] != '{') return std::nullopt;
    skipBlanks();
    if (at < line.size() && line[at] == '}') return ++at == line.size() ? std::optional(object) : std::nullopt;
    for (;;) {
        std::string key;
        std::string value;
        skipBlanks();
        if (!string(key)) return std::nullopt;
        skipBlanks();
        if (at >= line.size() || line[at++] != ':') return std::nullopt;
        skipBlanks();
        if (!string(value)) return std::nullopt;
        if (!object.emplace(key, value).second) return std::nullopt;  // a key twice
        skipBlanks();
        if (at >= line.size()) return std::nullopt;
        const char next = line[at++];
        if (next == '}') break;
        if (next != ',') return std::nullopt;
    }
    skipBlanks();
    if (at != line.size()) return std::nullopt;
    return object;
}

} // namespace clitest
