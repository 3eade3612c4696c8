#include "AgentHosts.h"

#include "platform/ComRuntime.h"
#include "platform/Text.h"
#include "platform/remote/RemoteAgents.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace platform::remote {

using namespace tagvista::agent;

namespace {

struct HostEntry {
    std::mutex opening;  // held while this host's channel opens, so one open serves all callers
    std::shared_ptr<AgentChannel> channel;
};

struct Hosts {
    std::mutex mutex;
    AgentSettings settings = agentSettingsFromEnvironment();
    std::map<std::string, std::shared_ptr<HostEntry>> entries;
};

void closeAgentsAtExit() { closeAgents(); }

Hosts& hosts()
{
    // Lives to the end, so that a channel closed at exit still finds it.
    static Hosts* const instance = [] {
        // At exit the channels the program no longer holds are closed: each agent is told its
        // input has ended and the threads that served the channel are joined.
        std::atexit(closeAgentsAtExit);
        return new Hosts;
    }();
    return *instance;
}

// ssh -G prints a few kilobytes; more than this is not ssh's configuration.
constexpr std::size_t kLongestConfiguration = 256 * 1024;

// Ends a program's stream at a time unless it is destroyed before: a read waiting for the
// program then returns. Joins its thread when destroyed.
class StreamDeadline {
public:
    StreamDeadline(ChildProcess& process, std::chrono::steady_clock::time_point until)
        : _thread([this, &process, until] {
              std::unique_lock lock(_mutex);
              if (_changed.wait_until(lock, until, [this] { return _done; })) return;
              _passed = true;
              process.stop();
          })
    {
    }
    ~StreamDeadline()
    {
        {
            std::lock_guard lock(_mutex);
            _done = true;
        }
        _changed.notify_all();
        _thread.join();
    }
    StreamDeadline(const StreamDeadline&) = delete;
    StreamDeadline& operator=(const StreamDeadline&) = delete;

    bool passed()
    {
        std::lock_guard lock(_mutex);
        return _passed;
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _done = false;    // guarded by _mutex
    bool _passed = false;  // guarded by _mutex
    std::thread _thread;   // last: it uses the members above
};

// The value of the "hostname" line of ssh -G's output, or "".
std::string hostNameLine(const std::string& configuration)
{
    std::size_t start = 0;
    while (start < configuration.size()) {
        std::size_t end = configuration.find('\n', start);
        if (end == std::string::npos) end = configuration.size();
        std::string line = configuration.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        const std::size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        if (!equalNoCase(std::string_view(line).substr(0, blank), "hostname")) continue;
        std::size_t value = blank;
        while (value < line.size() && line[value] == ' ') ++value;
        return line.substr(value);
    }
    return {};
}

thread_local std::uint32_t tFailureCode = 0;
thread_local std::string tFailureText;

// A computer's name without the backslashes a UNC form puts before it.
std::string_view withoutBackslashes(std::string_view computer)
{
    while (computer.size() > 2 && computer[0] == '\\' && computer[1] == '\\') computer.remove_prefix(2);
    return computer;
}

} // namespace

std::string sshWrittenHost(const std::string& computer)
{
    const std::string_view host = withoutBackslashes(computer);
    if (host.size() < 4 || !equalNoCase(host.substr(0, 4), "ssh:")) return {};
    return std::string(host.substr(4));
}

std::string remoteHostName(const std::string& computer)
{
    if (std::string host = sshWrittenHost(computer); !host.empty()) return host;
    if (computer.empty() || isThisComputer(computer.c_str())) return {};
    return std::string(withoutBackslashes(computer));
}

std::optional<std::string> sshHostName(const std::string& host, std::chrono::milliseconds deadline)
{
    try {
        std::vector<std::string> command = agentSettings().ssh;
        // "--" as for the connection: a name that starts with "-" is a name, not an option.
        for (const char* word : {"-G", "--"}) command.emplace_back(word);
        command.push_back(host);
        std::string error;
        std::unique_ptr<ChildProcess> process = ChildProcess::start(command, error);
        if (!process) return std::nullopt;

        // The read below waits for ssh; at the deadline the stream is ended under it, which ends
        // the read, and the process's destructor then ends ssh itself.
        const auto until = std::chrono::steady_clock::now() + deadline;
        std::string output;
        {
            StreamDeadline watch(*process, until);
            std::uint8_t buffer[4096];
            long got = 0;
            while ((got = process->read(buffer, sizeof buffer)) > 0) {
                output.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
                if (output.size() > kLongestConfiguration) return std::nullopt;
            }
            if (got < 0 || watch.passed()) return std::nullopt;
        }

        // Its output is whole only when it ended well: a configuration it could not read ends
        // it with an error after whatever it printed.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (!process->waitForEnd(std::max(left, std::chrono::milliseconds(0)))) return std::nullopt;
        if (process->endText() != "exit code 0") return std::nullopt;
        std::string name = hostNameLine(output);
        if (name.empty()) return std::nullopt;
        return name;
    } catch (...) {
        // Out of memory or threads: the caller goes on with the name it has.
        return std::nullopt;
    }
}

std::string causeWithoutHost(const std::string& host, std::string text)
{
    if (text.rfind(host + ": ", 0) == 0) text.erase(0, host.size() + 2);
    return text;
}

void setAgentSettings(const AgentSettings& settings)
{
    std::lock_guard lock(hosts().mutex);
    hosts().settings = settings;
}

} // namespace platform::remote

void platform::setAgentCommands(const std::string& sshCommand, const std::string& agentCommand)
{
    remote::setAgentSettings(remote::agentSettingsFor(sshCommand, agentCommand));
}

namespace platform::remote {

AgentSettings agentSettings()
{
    std::lock_guard lock(hosts().mutex);
    return hosts().settings;
}

std::shared_ptr<AgentChannel> agentFor(const std::string& host, std::string& error)
{
    std::shared_ptr<HostEntry> entry;
    AgentSettings settings;
    {
        std::lock_guard lock(hosts().mutex);
        std::shared_ptr<HostEntry>& slot = hosts().entries[host];
        if (!slot) slot = std::make_shared<HostEntry>();
        entry = slot;
        settings = hosts().settings;
    }
    std::lock_guard opening(entry->opening);
    if (entry->channel && !entry->channel->ended()) return entry->channel;
    entry->channel = AgentChannel::open(host, settings, error);
    return entry->channel;
}

void closeAgents()
{
    std::map<std::string, std::shared_ptr<HostEntry>> entries;
    {
        std::lock_guard lock(hosts().mutex);
        entries.swap(hosts().entries);
    }
    for (auto& [host, entry] : entries) {
        std::lock_guard opening(entry->opening);
        entry->channel.reset();
    }
}

bool listRemoteServers(const std::string& host, std::vector<RemoteServerKey>& keys, std::string& error)
{
    const std::shared_ptr<AgentChannel> channel = agentFor(host, error);
    if (!channel) return false;
    const std::optional<AgentChannel::Answer> answer = channel->call(
        [](flatbuffers::FlatBufferBuilder& builder) {
            return std::make_pair(Body::ListServers, CreateListServers(builder).Union());
        },
        error);
    if (!answer) return false;
    if (const Failure* failure = answer->envelope->body_as_Failure()) {
        error = host + ": the agent could not list the servers: " +
                (failure->text() ? failure->text()->str() : "code " + std::to_string(failure->code()));
        return false;
    }
    const ServerList* list = answer->envelope->body_as_ServerList();
    if (!list) {
        error = host + ": the agent answered ListServers with " + bodyName(answer->envelope->body_type());
        return false;
    }
    keys.clear();
    if (list->keys()) {
        keys.reserve(list->keys()->size());
        for (const ServerKey* key : *list->keys()) {
            if (!key || !key->name() || key->name()->size() == 0) continue;  // nothing a walk could open
            RemoteServerKey entry;
            entry.name = key->name()->str();
            entry.hasClsid = key->has_clsid();
            entry.clsidType = key->clsid_type();
            if (key->clsid_data()) entry.clsidData.assign(key->clsid_data()->begin(), key->clsid_data()->end());
            keys.push_back(std::move(entry));
        }
    }
    return true;
}

void setFailureDetail(std::uint32_t code, const std::string& text)
{
    tFailureCode = code;
    tFailureText = text;
}

void clearFailureDetail()
{
    tFailureCode = 0;
    tFailureText.clear();
}

std::string failureDetail(std::uint32_t code)
{
    if (code == 0 || code != tFailureCode) return {};
    std::string text = std::move(tFailureText);
    clearFailureDetail();
    return text;
}

} // namespace platform::remote
