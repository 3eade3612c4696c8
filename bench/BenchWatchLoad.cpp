// The engine under a server faster than its reader: does memory stay flat at any rate?
//
// Two kinds of run, each against the scale server with every item changing every UpdateRate ms:
//
// - In process (the default): the engine connects to the scale server and a consumer on this
//   thread takes the value notifications, either at the command line's speed (every notification
//   read, its four texts formatted into a line and written to /dev/null with one write each, as
//   tagvista-cli's flushed lines are) or at the window's (a notification marks its row; every
//   16 ms the 60 rows "on screen" are read, the rest stay marked and unread, as the item table
//   does). Sampled every 10 s: resident memory, changes offered by the server, changes shown,
//   changes superseded by a later value before they were shown, and the longest queue.
// - A command-line binary (--cli PATH, repeatable): `PATH watch` of the scale server for the
//   run's length, its output to /dev/null; its resident memory sampled every second from /proc.
//   Give an older binary and a newer one to compare both in one run.
//
//   bench_watch_load [--items N]... [--seconds S] [--update-rate MS] [--consumer cli|window]...
//                    [--cli PATH]...
//
// Defaults: 100,000 and 1,000,000 items, 60 s, 10 ms, both consumers, no binary.
#include "BenchSupport.h"
#include "client/ValueText.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <map>
#include <optional>
#include <thread>
#include <unordered_map>

extern char** environ;

namespace {

using bench::Clock;

struct Options {
    std::vector<DWORD> items;
    double seconds = 60;
    DWORD updateRate = 10;
    std::vector<std::string> consumers;
    std::vector<std::string> binaries;
};

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--items") options.items.push_back(static_cast<DWORD>(std::stoul(value)));
        else if (name == "--seconds") options.seconds = std::stod(value);
        else if (name == "--update-rate") options.updateRate = static_cast<DWORD>(std::stoul(value));
        else if (name == "--consumer" && (value == "cli" || value == "window")) options.consumers.push_back(value);
        else if (name == "--cli") options.binaries.push_back(value);
        else {
            std::fprintf(stderr, "unknown option %s %s\n", name.c_str(), value.c_str());
            std::exit(2);
        }
    }
    if (options.items.empty()) options.items = {100'000, 1'000'000};
    if (options.consumers.empty() && options.binaries.empty()) options.consumers = {"cli", "window"};
    return options;
}

// Items spread over branches of 1,000 (10 for fewer than 10,000 items).
std::pair<DWORD, DWORD> shape(DWORD items)
{
    const DWORD perBranch = items >= 10'000 ? 1000 : 10;
    return {std::max<DWORD>(1, items / perBranch), perBranch};
}

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// --- in process ---------------------------------------------------------------------------------

struct Sample {
    double at;
    double residentMiB;
    std::uint64_t offered;
    std::uint64_t shown;
    std::uint64_t superseded;
    std::size_t longestQueue;
};

// What a consumer does with a notification, and between them.
class Consumer {
public:
    virtual ~Consumer() = default;
    virtual void onItem(const OPC_Item* item) = 0;
    virtual void idle() {}
    std::uint64_t shown = 0;
    std::uint64_t superseded = 0;

protected:
    void read(const OPC_Item* item, std::string* line)
    {
        const std::uint32_t changes = item->takeChanges();
        ++shown;
        if (changes > 1) superseded += changes - 1;
        const OPC_Item::Record record = item->readValue();
        if (line) {
            *line = item->name();
            *line += '\t' + typeText(record.value->vt) + '\t' + valueText(*record.value.get()) + '\t' +
                     timeStampText(record.timeStamp) + '\t' + qualityText(record.quality) + '\n';
        }
    }
};

// tagvista-cli's way: every notification read, formatted and written at once.
class LineConsumer : public Consumer {
public:
    LineConsumer() : _null(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
    ~LineConsumer() override { ::close(_null); }
    void onItem(const OPC_Item* item) override
    {
        read(item, &_line);
        if (::write(_null, _line.data(), _line.size()) < 0) std::perror("write");
    }

private:
    int _null;
    std::string _line;
};

// The item table's way: a notification marks its row; a refresh reads the marked rows on screen.
class TableConsumer : public Consumer {
public:
    explicit TableConsumer(const std::vector<OPC_Item*>& items) : _dirty(items.size(), false)
    {
        _rowOf.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) _rowOf.emplace(items[i], i);
        _items = items;
    }
    void onItem(const OPC_Item* item) override
    {
        const auto it = _rowOf.find(item);
        if (it != _rowOf.end()) _dirty[it->second] = true;
    }
    void idle() override
    {
        if (Clock::now() < _nextRefresh) return;
        _nextRefresh = Clock::now() + std::chrono::milliseconds(16);
        for (std::size_t row = 0; row < kRowsOnScreen && row < _items.size(); ++row) {
            if (!_dirty[row]) continue;
            _dirty[row] = false;
            read(_items[row], nullptr);
        }
    }

private:
    static constexpr std::size_t kRowsOnScreen = 60;
    std::unordered_map<const OPC_Item*, std::size_t> _rowOf;
    std::vector<bool> _dirty;
    std::vector<OPC_Item*> _items;
    Clock::time_point _nextRefresh = Clock::now();
};

void runInProcess(bench::Session& session, DWORD items, const std::string& kind, const Options& options)
{
    const auto [branches, perBranch] = shape(items);
    session.scale(branches, perBranch, options.updateRate, 100);
    std::unique_ptr<OPC_Connection> connection = session.scaleConnection();
    bool ready = false;
    std::unique_ptr<Consumer> consumer;
    session.onMessage = [&](UINT id, WPARAM w) {
        if (id == WM_SERVER_READY) ready = true;
        if (id == WM_ITEM_NEW_VALUE && consumer && connection->connected())
            consumer->onItem(reinterpret_cast<const OPC_Item*>(w));
    };
    const auto connectStart = Clock::now();
    connection->connect();
    session.pumpUntil([&] { return ready; });
    if (!connection->connected()) {
        std::fprintf(stderr, "connect failed: %s\n", connection->lastError().c_str());
        std::exit(1);
    }
    const double connectSeconds = bench::seconds(Clock::now() - connectStart);
    if (kind == "cli") consumer = std::make_unique<LineConsumer>();
    else consumer = std::make_unique<TableConsumer>(connection->items());
    // What came before the consumer existed is taken as shown once.
    for (OPC_Item* item : connection->items()) item->takeChanges();

    auto& dispatcher = platform::Dispatcher::instance();
    std::vector<Sample> samples;
    const std::uint64_t offeredAtStart = connection->changesOffered();
    std::size_t longestQueue = 0;
    const auto start = Clock::now();
    double nextSample = 10;
    while (true) {
        const double elapsed = bench::seconds(Clock::now() - start);
        if (elapsed >= nextSample - 1e-9) {
            samples.push_back({nextSample, mib(bench::residentBytes()), connection->changesOffered() - offeredAtStart,
                               consumer->shown, consumer->superseded, longestQueue});
            nextSample += 10;
        }
        if (elapsed >= options.seconds) break;
        longestQueue = std::max(longestQueue, dispatcher.postedCount());
        // The window drains in slices and refreshes between them; the command line as it goes.
        if (dispatcher.processPosted(kind == "cli" ? 4096 : 1024) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        consumer->idle();
    }

    std::printf("\n%s consumer, %u items (%u x %u) every %u ms; connected in %.1f s\n", kind.c_str(), items, branches,
                perBranch, options.updateRate, connectSeconds);
    std::printf("  %6s %12s %14s %14s %14s %12s\n", "at s", "resident MiB", "offered", "shown", "superseded",
                "most queued");
    for (const Sample& s : samples)
        std::printf("  %6.0f %12.1f %14llu %14llu %14llu %12zu\n", s.at, s.residentMiB,
                    static_cast<unsigned long long>(s.offered), static_cast<unsigned long long>(s.shown),
                    static_cast<unsigned long long>(s.superseded), s.longestQueue);
    if (samples.size() >= 2) {
        const Sample& first = samples.front();
        const Sample& last = samples.back();
        std::printf("  resident at %.0f s / at %.0f s: %.2f\n", last.at, first.at, last.residentMiB / first.residentMiB);
    }

    consumer.reset();
    connection->disconnect();
    session.pumpUntil([&] { return connection->idle(); });
    dispatcher.removePosted([](UINT id, WPARAM, LPARAM) { return id == WM_ITEM_NEW_VALUE; });
    session.onMessage = nullptr;
    connection.reset();
    bench::trimHeap();
}

// --- a command-line binary --------------------------------------------------------------------

std::optional<double> residentOf(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;  // kB
    }
    return std::nullopt;
}

void runBinary(const std::string& binary, DWORD items, const Options& options, const std::string& home)
{
    const auto [branches, perBranch] = shape(items);
    char settings[512];
    std::snprintf(settings, sizeof settings,
                  "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Tagvista\\Scale]\n"
                  "\"Branches\"=dword:%08x\n\"ItemsPerBranch\"=dword:%08x\n\"Depth\"=dword:00000001\n"
                  "\"UpdateRate\"=dword:%08x\n\"ChangingPercent\"=dword:00000064\n",
                  branches, perBranch, options.updateRate);
    const std::string config = home + "/cli-config";
    std::filesystem::create_directories(config + "/tagvista");
    std::ofstream(config + "/tagvista/user.reg") << settings;

    const std::string errors = home + "/cli-stderr";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> env{"XDG_CONFIG_HOME=" + config, "TAGVISTA_CLASSES_PATH=" TAGVISTA_CLASSES_DIR,
                                 "HOME=" + home, "LANG=C.UTF-8"};
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string seconds = std::to_string(options.seconds);
    std::vector<std::string> args{binary, "watch", "--seconds", seconds, "Tagvista.Scale.1"};
    std::vector<char*> argp;
    for (std::string& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    pid_t pid = 0;
    const auto start = Clock::now();
    if (posix_spawn(&pid, binary.c_str(), &files, nullptr, argp.data(), envp.data()) != 0) {
        std::fprintf(stderr, "cannot start %s\n", binary.c_str());
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&files);

    std::map<int, double> resident;  // second of the run -> MiB
    double peak = 0;
    int status = 0;
    for (int second = 1;; ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        if (::waitpid(pid, &status, WNOHANG) == pid) break;
        if (const auto r = residentOf(pid)) {
            resident[second] = *r;
            peak = std::max(peak, *r);
        }
        // The connect is not part of the watch's seconds; allow it, but not for ever.
        if (second > options.seconds + 600) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
    }
    std::ifstream in(errors);
    std::string summary, line;
    while (std::getline(in, line)) summary = line;

    std::printf("\n%s watch, %u items every %u ms, %.0f s of values:\n", binary.c_str(), items, options.updateRate,
                options.seconds);
    std::printf("  resident MiB:");
    for (const auto& [second, r] : resident) {
        if (second % 10 == 0) std::printf("  %ds %.0f", second, r);
    }
    std::printf("\n  peak %.0f MiB; exit %d; last line on stderr: %s\n", peak,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, summary.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    ::setenv("TAGVISTA_CLASSES_PATH", TAGVISTA_CLASSES_DIR, 1);
    if (!options.binaries.empty()) {
        char pattern[] = "/tmp/tagvista-bench-watch-XXXXXX";
        const std::string home = ::mkdtemp(pattern);
        for (DWORD items : options.items)
            for (const std::string& binary : options.binaries) runBinary(binary, items, options, home);
        std::filesystem::remove_all(home);
    }
    if (!options.consumers.empty()) {
        bench::Session session;
        for (DWORD items : options.items)
            for (const std::string& kind : options.consumers) runInProcess(session, items, kind, options);
    }
    return 0;
}
