#include "AgentHosts.h"

#include "platform/ComRuntime.h"

#include <cstdlib>
#include <map>
#include <mutex>

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

thread_local std::uint32_t tFailureCode = 0;
thread_local std::string tFailureText;

} // namespace

std::string remoteHostName(const std::string& computer)
{
    if (computer.empty() || isThisComputer(computer.c_str())) return {};
    std::string host = computer;
    while (host.size() > 2 && host[0] == '\\' && host[1] == '\\') host.erase(0, 2);
    return host;
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
