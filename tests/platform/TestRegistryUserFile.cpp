// The user file kept safe: a file that was not read whole is kept aside before it is replaced,
// what is not a regular file is never waited for, a symbolic link stays a link, program
// instances that write at once neither fail each other nor show a partial file, and what the
// load skipped reaches the diagnostics handler.

#include "TestRegistrySupport.h"

#include "platform/RegFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace platform;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using regtest::queryValue;
using regtest::sz;

namespace {

const std::string header = "Windows Registry Editor Version 5.00\n";

// Generous: a deadline only ends a wait that would otherwise never end.
constexpr std::chrono::seconds kDeadline{60};

bool anyContains(const std::vector<std::string>& lines, const std::string& part)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&part](const std::string& line) { return line.find(part) != std::string::npos; });
}

// Which file a name stands for (device and inode), without following a link; nothing when
// there is none.
std::optional<std::pair<dev_t, ino_t>> identity(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return std::nullopt;
    return std::make_pair(info.st_dev, info.st_ino);
}

std::string utf16(const std::string& utf8, bool bigEndian, bool mark)
{
    std::string out;
    for (char16_t c : (mark ? u"\uFEFF" : u"") + regfile::toUtf16(utf8)) {
        const char low = static_cast<char>(c & 0xFF);
        const char high = static_cast<char>(c >> 8);
        out.append(bigEndian ? std::string{high, low} : std::string{low, high});
    }
    return out;
}

// Runs registry::reload() on another thread and waits for its end. A reload stuck on a FIFO is
// set free after the deadline by opening and closing each FIFO for writing, so that the test
// ends either way; false then.
bool reloadEnds(const std::vector<std::string>& fifos)
{
    std::promise<void> ended;
    std::future<void> end = ended.get_future();
    std::thread reloader([&ended] {
        registry::reload();
        ended.set_value();
    });
    const bool inTime = end.wait_for(kDeadline) == std::future_status::ready;
    while (end.wait_for(10ms) != std::future_status::ready) {
        for (const std::string& fifo : fifos) {
            int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
        }
    }
    reloader.join();
    return inTime;
}

// Another instance of the program (tests/platform/writer), started at once and held until
// start().
class Writer {
public:
    Writer(const std::string& name, int count)
    {
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        std::vector<std::string> args{TAGVISTA_TEST_REGWRITER, name, std::to_string(count)};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&_pid, TAGVISTA_TEST_REGWRITER, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        _go = in[1];
        if (spawned != 0) {
            _pid = -1;
            throw std::runtime_error("posix_spawn failed");
        }
    }
    ~Writer()
    {
        if (_go >= 0)
            ::close(_go);
        if (_pid > 0 && !_status) {
            ::kill(_pid, SIGKILL);
            ::waitpid(_pid, nullptr, 0);
        }
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void start()
    {
        if (::write(_go, "g", 1) != 1)
            throw std::runtime_error("the writer is gone");
        ::close(_go);
        _go = -1;
    }
    // The exit code once the program has ended (-1 when a signal ended it).
    std::optional<int> status()
    {
        int status = 0;
        if (!_status && ::waitpid(_pid, &status, WNOHANG) == _pid)
            _status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return _status;
    }

private:
    pid_t _pid = -1;
    int _go = -1;
    std::optional<int> _status;
};

class RegistryUserFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        _classes.emplace("TAGVISTA_CLASSES_PATH", (_dir / "classes").c_str());
        _config.emplace("XDG_CONFIG_HOME", (_dir / "config").c_str());
        std::filesystem::create_directories(_folder);
        std::filesystem::create_directories(_dir / "classes");
        registry::reload();
    }

    void TearDown() override
    {
        registry::setDiagnosticsHandler(nullptr);
        _classes.reset();
        _config.reset();
        registry::reload();
    }

    // Sets a string value in HKEY_CURRENT_USER\Software\Tagvista, creating the key.
    static LONG change(const char* name, const std::string& text)
    {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Tagvista", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr);
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>(text.size() + 1));
        RegCloseKey(key);
        return rc;
    }

    static std::optional<std::string> stored(const char* name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tagvista", 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        std::optional<std::string> value = queryValue(key, name);
        RegCloseKey(key);
        return value;
    }

    // The copies of the user file kept aside, by name.
    std::vector<std::string> keptCopies() const
    {
        std::vector<std::string> copies;
        for (const std::string& name : regtest::folderEntries(_folder)) {
            if (name.rfind("user.reg.bad-", 0) == 0)
                copies.push_back(name);
        }
        return copies;
    }

    regtest::TempDir _dir;
    std::optional<regtest::ScopedEnv> _classes;
    std::optional<regtest::ScopedEnv> _config;
    const std::string _folder = _dir / "config/tagvista";
    const std::string _file = _dir / "config/tagvista/user.reg";
};

} // namespace

TEST_F(RegistryUserFile, FileNotReadWholeIsKeptAsideBeforeItIsReplaced)
{
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
        bool partlyRead; // its good lines were read and must be in the new file too
    };
    const std::vector<Case> cases = {
        {"a typo in the header",
         [](const std::string& path) {
             regtest::writeFile(path, "Windows Registry Editor Version 5.0\n"
                                      "[HKEY_CURRENT_USER\\Software\\Tagvista]\n\"kept\"=\"1\"\n");
         },
         false},
        {"a malformed line",
         [](const std::string& path) {
             regtest::writeFile(path, header + "[HKEY_CURRENT_USER\\Software\\Tagvista]\n\"kept\"=\"1\"\n"
                                               "\"count\"=dword:not-a-number\n");
         },
         true},
        {"a folder",
         [](const std::string& path) {
             regtest::writeFile(path + "/inside", "something of the user's");
         },
         false},
        {"larger than the reader takes",
         [](const std::string& path) {
             regtest::writeFile(path, header);
             std::filesystem::resize_file(path, (std::uintmax_t{256} << 20) + 1); // sparse
         },
         false},
    };
    // The copies of all cases stay side by side, most of them made within one second.
    std::size_t copiesSoFar = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make(_file);
        const auto original = identity(_file);
        std::error_code noFile;
        const std::uintmax_t size = std::filesystem::file_size(_file, noFile);
        const std::string bytes = !noFile && size < 4096 ? regtest::readFile(_file) : "";
        registry::reload();
        EXPECT_TRUE(anyContains(registry::loadDiagnostics(), _file + ":"))
            << ::testing::PrintToString(registry::loadDiagnostics());
        EXPECT_EQ(stored("kept").has_value(), c.partlyRead);
        ASSERT_EQ(keptCopies().size(), copiesSoFar) << "nothing is kept aside before a change";

        ASSERT_EQ(change("new", "value"), ERROR_SUCCESS);
        std::vector<std::string> copies = keptCopies();
        ASSERT_EQ(copies.size(), copiesSoFar + 1);
        const std::string copy = _folder + "/" + copies.back();
        EXPECT_EQ(identity(copy), original) << "the very file is kept, whatever it is";
        if (!bytes.empty()) {
            EXPECT_EQ(regtest::readFile(copy), bytes);
        }
        EXPECT_TRUE(anyContains(registry::loadDiagnostics(), _file + ": kept as " + copy));
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(_file)));

        // Once replaced, the file is the store's own: further changes keep nothing more.
        ASSERT_EQ(change("again", "x"), ERROR_SUCCESS);
        EXPECT_EQ(keptCopies().size(), copiesSoFar + 1);
        registry::reload();
        EXPECT_TRUE(registry::loadDiagnostics().empty()) << ::testing::PrintToString(registry::loadDiagnostics());
        EXPECT_EQ(stored("new"), sz("value"));
        EXPECT_EQ(stored("kept"), c.partlyRead ? std::optional<std::string>(sz("1")) : std::nullopt);

        std::filesystem::remove(_file);
        registry::reload();
        copiesSoFar = copies.size();
    }
    // Every copy still is the file it was made from.
    EXPECT_EQ(keptCopies().size(), cases.size());
}

TEST_F(RegistryUserFile, EveryEncodingAndLineEndTheReaderTakesNeedsNoCopy)
{
    const std::string text = header + "[HKEY_CURRENT_USER\\Software\\Tagvista]\n\"a\"=\"1\"\n\"b\"=dword:2\n";
    const std::string cr = regtest::replaceAll(text, "\n", "\r");
    const std::string crLf = regtest::replaceAll(text, "\n", "\r\n");
    const std::pair<const char*, std::string> files[] = {{"UTF-8, CR", cr},
                                                         {"UTF-16BE with mark, CR", utf16(cr, true, true)},
                                                         {"UTF-16LE with mark, CR LF", utf16(crLf, false, true)},
                                                         {"UTF-16LE without mark, LF", utf16(text, false, false)},
                                                         {"UTF-16BE without mark, CR LF", utf16(crLf, true, false)}};
    for (const auto& [what, file] : files) {
        SCOPED_TRACE(what);
        regtest::writeFile(_file, file);
        registry::reload();
        EXPECT_TRUE(registry::loadDiagnostics().empty()) << ::testing::PrintToString(registry::loadDiagnostics());
        EXPECT_EQ(stored("a"), sz("1"));
        ASSERT_EQ(change("c", "3"), ERROR_SUCCESS);
        EXPECT_THAT(keptCopies(), ElementsAre());
        EXPECT_THAT(regtest::readFile(_file), HasSubstr("\"a\"=\"1\"\n\"b\"=dword:00000002\n\"c\"=\"3\"\n"));
    }
}

TEST_F(RegistryUserFile, FifoIsNeitherWaitedForNorReplaced)
{
    regtest::writeFile(_dir / "classes/good.reg", header + "[HKEY_CLASSES_ROOT\\Good]\n");
    ASSERT_EQ(::mkfifo((_dir / "classes/pipe.reg").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(_file.c_str(), 0600), 0);
    const auto fifo = identity(_file);

    ASSERT_TRUE(reloadEnds({_dir / "classes/pipe.reg", _file})) << "the load waited for a writer of a FIFO";
    std::vector<std::string> diagnostics = registry::loadDiagnostics();
    EXPECT_TRUE(anyContains(diagnostics, _dir / "classes/pipe.reg: cannot read the file: not a regular file"))
        << ::testing::PrintToString(diagnostics);
    EXPECT_TRUE(anyContains(diagnostics, _file + ": cannot read the file: not a regular file"));
    EXPECT_THAT(regtest::subkeyNames(HKEY_CLASSES_ROOT), ElementsAre("Good"));

    ASSERT_EQ(change("v", "1"), ERROR_SUCCESS);
    std::vector<std::string> copies = keptCopies();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(identity(_folder + "/" + copies[0]), fifo);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(_file)));
}

TEST_F(RegistryUserFile, SymbolicLinkStaysALinkToTheFileItNames)
{
    // A relative link to a file kept elsewhere: that file is read and rewritten.
    regtest::writeFile(_dir / "dotfiles/settings.reg", header + "[HKCU\\Software\\Tagvista]\n\"old\"=\"1\"\n");
    std::filesystem::create_symlink("../../dotfiles/settings.reg", _file);
    registry::reload();
    EXPECT_EQ(stored("old"), sz("1"));
    ASSERT_EQ(change("new", "2"), ERROR_SUCCESS);
    EXPECT_EQ(std::filesystem::read_symlink(_file), "../../dotfiles/settings.reg");
    EXPECT_THAT(regtest::readFile(_dir / "dotfiles/settings.reg"), HasSubstr("\"new\"=\"2\"\n"));
    EXPECT_THAT(regtest::folderEntries(_folder), ElementsAre("user.reg"));
    EXPECT_THAT(regtest::folderEntries(_dir / "dotfiles"), ElementsAre("settings.reg"));
    registry::reload();
    EXPECT_EQ(stored("old"), sz("1"));
    EXPECT_EQ(stored("new"), sz("2"));

    // A chain of links whose last names a file not there yet: the first change creates it.
    std::filesystem::remove(_file);
    std::filesystem::create_symlink(_dir / "chain", _file);
    std::filesystem::create_symlink(_dir / "dotfiles/later.reg", _dir / "chain");
    registry::reload();
    EXPECT_TRUE(registry::loadDiagnostics().empty()) << ::testing::PrintToString(registry::loadDiagnostics());
    ASSERT_EQ(change("v", "3"), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_symlink(_file));
    EXPECT_TRUE(std::filesystem::is_symlink(_dir / "chain"));
    EXPECT_THAT(regtest::readFile(_dir / "dotfiles/later.reg"), HasSubstr("\"v\"=\"3\"\n"));

    // A loop of links names no file: a change fails, and the link stays as it was.
    std::filesystem::remove(_file);
    std::filesystem::create_symlink("user.reg", _file);
    registry::reload();
    EXPECT_TRUE(anyContains(registry::loadDiagnostics(), _file + ": cannot read the file"));
    EXPECT_EQ(change("v", "4"), static_cast<LONG>(ERROR_WRITE_FAULT));
    EXPECT_EQ(std::filesystem::read_symlink(_file), "user.reg");
}

TEST_F(RegistryUserFile, ProgramsWritingAtOnceNeitherFailNorShowAPartialFile)
{
    // Every rewrite ends with this key (it sorts last), so a file that does not end with it is
    // not whole.
    const std::string tail = "[HKEY_CURRENT_USER\\Zz]\n\"last\"=\"1\"\n";
    regtest::writeFile(_file, header + "\n" + tail);
    constexpr int changes = 150;
    Writer one("One", changes);
    Writer two("Two", changes);
    one.start();
    two.start();

    // Read the file over and over while both write, until both have ended.
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    int reads = 0;
    int notWhole = 0;
    std::string example;
    while (!one.status() || !two.status()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writers did not end";
        const std::string text = regtest::readFile(_file);
        ++reads;
        const bool whole = text.rfind(header, 0) == 0 && text.size() >= tail.size() &&
                           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
        if (!whole && notWhole++ == 0)
            example = text;
    }
    EXPECT_EQ(one.status(), 0) << "some changes of the first writer failed (its standard error says which)";
    EXPECT_EQ(two.status(), 0) << "some changes of the second writer failed";
    EXPECT_EQ(notWhole, 0) << "of " << reads << " reads, for example: " << ::testing::PrintToString(example);
    EXPECT_THAT(regtest::folderEntries(_folder), ElementsAre("user.reg")) << "no temporary file is left";

    // The last write wins whole: its writer's values are all there.
    registry::reload();
    EXPECT_TRUE(registry::loadDiagnostics().empty()) << ::testing::PrintToString(registry::loadDiagnostics());
    const std::string last = "v" + std::to_string(changes - 1);
    int complete = 0;
    for (const char* writer : {"Software\\Tagvista\\One", "Software\\Tagvista\\Two"}) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, writer, 0, KEY_READ, &key) != ERROR_SUCCESS)
            continue;
        if (queryValue(key, last.c_str()) == sz(std::to_string(changes - 1)))
            ++complete;
        RegCloseKey(key);
    }
    EXPECT_GE(complete, 1);
}

TEST_F(RegistryUserFile, DiagnosticsReachTheHandlerOnceEachAndInOrder)
{
    regtest::writeFile(_dir / "classes/bad.reg", "REGEDIT5\n");
    registry::reload();

    // Installed after the load, it is given what the load collected.
    std::vector<std::string> got;
    registry::setDiagnosticsHandler([&got](const std::string& text) { got.push_back(text); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], HasSubstr(_dir / "classes/bad.reg:1: "));
    EXPECT_EQ(got, registry::loadDiagnostics());

    // A handler may use the registry: it is called outside the store's locks.
    int opened = 0;
    registry::setDiagnosticsHandler([&got, &opened](const std::string& text) {
        got.push_back(text);
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key) == ERROR_SUCCESS) {
            ++opened;
            RegCloseKey(key);
        }
    });
    got.clear();

    // Then each text as it comes, once: those of a reload...
    regtest::writeFile(_file, header + "[HKCU\\Software]\n\"v\"=\"1\"\ngarbage\n");
    registry::reload();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got, registry::loadDiagnostics());
    EXPECT_THAT(got[1], HasSubstr(_file + ":4: "));
    // ...and the note of the file kept aside at the first change, after the change let go.
    got.clear();
    ASSERT_EQ(change("w", "2"), ERROR_SUCCESS);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], HasSubstr(_file + ": kept as "));
    EXPECT_EQ(got[0], registry::loadDiagnostics().back());
    ASSERT_EQ(change("w", "3"), ERROR_SUCCESS);
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(opened, 3);

    // A handler that throws loses its text, never the caller's work.
    registry::setDiagnosticsHandler([](const std::string&) { throw std::runtime_error("handler failed"); });
    EXPECT_NO_THROW(registry::reload());
    EXPECT_EQ(change("w", "4"), ERROR_SUCCESS);

    // Removed, it is given nothing more.
    registry::setDiagnosticsHandler([&got](const std::string& text) { got.push_back(text); });
    registry::setDiagnosticsHandler(nullptr);
    got.clear();
    registry::reload();
    EXPECT_TRUE(got.empty());
}
