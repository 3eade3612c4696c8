#include "AgentChannel.h"

#include <cstdio>
#include <cstdlib>

namespace platform::remote {

using namespace tagvista::agent;

AgentSettings agentSettingsFor(const std::string& sshCommand, const std::string& agentCommand)
{
    const auto chosen = [](const char* variable, const std::string& setting) {
        const char* value = std::getenv(variable);
        return value && *value ? std::string(value) : setting;
    };
    AgentSettings settings;
    // A command of blanks alone keeps the default: there is nothing to start.
    if (std::vector<std::string> words = splitCommandLine(chosen("TAGVISTA_SSH", sshCommand)); !words.empty())
        settings.ssh = std::move(words);
    if (const std::string agent = chosen("TAGVISTA_AGENT", agentCommand);
        agent.find_first_not_of(" \t") != std::string::npos)
        settings.agent = agent;
    return settings;
}

AgentSettings agentSettingsFromEnvironment()
{
    return agentSettingsFor({}, {});
}

std::vector<std::string> sshCommandFor(const AgentSettings& settings, const std::string& host)
{
    std::vector<std::string> command = settings.ssh;
    // No terminal (the stream is binary), and no prompt for a password or a host key that
    // nobody would see: such an authentication fails with ssh's own message. "--" keeps a host
    // name that starts with "-" from being read as an option.
    for (const char* word : {"-T", "-o", "BatchMode=yes", "--"}) command.emplace_back(word);
    command.push_back(host);
    command.push_back(settings.agent);
    return command;
}

AgentChannel::AgentChannel(std::string host, std::unique_ptr<ChildProcess> process, const AgentSettings& settings)
    : _host(std::move(host)), _process(std::move(process)), _settings(settings)
{
}

std::shared_ptr<AgentChannel> AgentChannel::open(const std::string& host, const AgentSettings& settings,
                                                 std::string& error)
{
    std::string startError;
    std::unique_ptr<ChildProcess> process = ChildProcess::start(sshCommandFor(settings, host), startError);
    if (!process) {
        error = host + ": " + startError;
        return nullptr;
    }
    return openOn(host, std::move(process), settings, error);
}

std::shared_ptr<AgentChannel> AgentChannel::openOn(const std::string& host, std::unique_ptr<ChildProcess> process,
                                                   const AgentSettings& settings, std::string& error)
{
    std::shared_ptr<AgentChannel> channel(new AgentChannel(host, std::move(process), settings));
    channel->_reader = std::thread([raw = channel.get()] { raw->readFrames(); });
    if (!channel->handshake(error)) return nullptr;  // the destructor ends the program
    return channel;
}

AgentChannel::~AgentChannel()
{
    end("the connection to " + _host + " was closed");
    _process->stop();
    if (_reader.joinable()) _reader.join();
}

bool AgentChannel::handshake(std::string& error)
{
    const std::optional<Answer> answer = call(
        [](flatbuffers::FlatBufferBuilder& builder) {
            const auto program = builder.CreateString("tagvista");
            return std::make_pair(Body::Hello, CreateHello(builder, kProtocolVersion, program).Union());
        },
        _settings.helloDeadline, error);
    if (!answer) return false;
    const Hello* hello = answer->envelope->body_as_Hello();
    if (!hello) {
        error = _host + ": the agent answered the hello with " + bodyName(answer->envelope->body_type());
        end(error);
        return false;
    }
    _agentProgram = hello->program() ? hello->program()->str() : std::string();
    if (hello->protocol() != kProtocolVersion) {
        error = _host + ": the agent there (" + _agentProgram + ") speaks protocol " + std::to_string(hello->protocol()) +
                ", this program protocol " + std::to_string(kProtocolVersion) +
                "; install the agent of this program's version there";
        end(error);
        return false;
    }
    return true;
}

std::optional<AgentChannel::Answer> AgentChannel::call(const BodyBuilder& build, std::string& error)
{
    return call(build, _settings.requestDeadline, error);
}

std::optional<AgentChannel::Answer> AgentChannel::call(const BodyBuilder& build, std::chrono::milliseconds deadline,
                                                       std::string& error)
{
    const std::uint32_t id = _nextId++;
    flatbuffers::FlatBufferBuilder builder;
    const auto [type, body] = build(builder);
    builder.Finish(CreateEnvelope(builder, id, type, body));
    const std::vector<std::uint8_t> frame = frameOf(builder);
    {
        std::lock_guard lock(_mutex);
        if (!_endText.empty()) {
            error = _endText;
            return std::nullopt;
        }
        _waiting.emplace(id, std::nullopt);
    }
    bool written;
    {
        std::lock_guard lock(_writeMutex);
        written = _process->write(frame.data(), frame.size());
    }
    std::unique_lock lock(_mutex);
    if (!written && _endText.empty()) {
        lock.unlock();
        end(goneText());
        lock.lock();
    }
    const bool done = _answered.wait_for(lock, deadline, [&] { return _waiting[id].has_value() || !_endText.empty(); });
    std::optional<Answer> answer = std::move(_waiting[id]);
    _waiting.erase(id);
    if (answer) return answer;
    if (!done) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(deadline.count()) / 1000.0);
        const std::string text =
            _host + ": the agent did not answer " + bodyName(type) + " within " + seconds + " s";
        lock.unlock();
        end(text);
        lock.lock();
    }
    error = _endText;
    return std::nullopt;
}

bool AgentChannel::ended() const
{
    std::lock_guard lock(_mutex);
    return !_endText.empty();
}

std::string AgentChannel::endText() const
{
    std::lock_guard lock(_mutex);
    return _endText;
}

void AgentChannel::end(const std::string& text)
{
    {
        std::lock_guard lock(_mutex);
        if (!_endText.empty()) return;
        _endText = text;
        _answered.notify_all();
    }
    _process->stop();
}

std::string AgentChannel::goneText()
{
    _process->waitForEnd(std::chrono::seconds(2));
    const std::string said = _process->errorOutput();
    const std::string how = _process->endText();
    // ssh ends with 255 on its own failures (no route, refused key, unknown host); otherwise it
    // passes on the remote command's end.
    if (how == "exit code 255")
        return _host + ": ssh failed: " + (said.empty() ? std::string("no message") : said);
    // The program this side started is ssh: a signal that ended it cut the connection.
    std::string text = _host + (how.rfind("killed by signal", 0) == 0 ? ": the ssh connection was cut" : ": the agent ended");
    if (!said.empty()) text += ": " + said;
    if (!how.empty()) text += " (" + how + ")";
    return text;
}

namespace {

// What the channel keeps for receivers still to come: a few notices per connection (the first
// blocks of a stream, the first callback), and not much in all.
constexpr std::size_t kEarlyNoticesPerConnection = 64;
constexpr std::size_t kEarlyBytes = std::size_t{16} << 20;

// The connection an unasked message belongs to; none for a body that never comes unasked.
std::optional<std::uint32_t> noticeConnection(const Envelope& envelope)
{
    switch (envelope.body_type()) {
    case Body::DataChange: return envelope.body_as_DataChange()->connection();
    case Body::Shutdown: return envelope.body_as_Shutdown()->connection();
    case Body::Callback: return envelope.body_as_Callback()->connection();
    default: return std::nullopt;
    }
}

} // namespace

void AgentChannel::setNoticeHandler(std::uint32_t connection, NoticeHandler handler)
{
    std::lock_guard lock(_deliveryMutex);
    _removed.erase(connection);
    _handlers[connection] = handler;
    const auto early = _early.find(connection);
    if (early == _early.end()) return;
    std::deque<std::vector<std::uint8_t>> frames = std::move(early->second);
    _early.erase(early);
    for (const std::vector<std::uint8_t>& frame : frames) {
        _earlyBytes -= frame.size();
        // Verified when it came.
        handler(*flatbuffers::GetRoot<Envelope>(frame.data()));
    }
}

void AgentChannel::setDataChangeHandler(std::uint32_t connection, DataChangeHandler handler)
{
    setNoticeHandler(connection, [receive = std::move(handler)](const Envelope& notice) {
        const DataChange* change = notice.body_as_DataChange();
        if (!change) return;
        static const std::uint8_t none = 0;
        const flatbuffers::Vector<std::uint8_t>* block = change->block();
        receive(block ? block->data() : &none, block ? block->size() : 0);
    });
}

void AgentChannel::removeNoticeHandler(std::uint32_t connection)
{
    std::lock_guard lock(_deliveryMutex);
    _handlers.erase(connection);
    _removed.insert(connection);
}

void AgentChannel::deliver(std::uint32_t connection, std::vector<std::uint8_t>&& frame, const Envelope& notice)
{
    std::lock_guard lock(_deliveryMutex);
    const auto handler = _handlers.find(connection);
    if (handler != _handlers.end()) {
        // A copy: a handler removed by the handler itself must not pull the function from under it.
        const NoticeHandler receive = handler->second;
        receive(notice);
        return;
    }
    if (_removed.count(connection)) return;
    std::deque<std::vector<std::uint8_t>>& kept = _early[connection];
    _earlyBytes += frame.size();
    kept.push_back(std::move(frame));
    if (kept.size() > kEarlyNoticesPerConnection) {
        _earlyBytes -= kept.front().size();
        kept.pop_front();
    }
    // Past the limit in all, the oldest connection's notices go first: nobody has claimed them.
    while (_earlyBytes > kEarlyBytes && !_early.empty()) {
        auto oldest = _early.begin();
        for (const std::vector<std::uint8_t>& dropped : oldest->second) _earlyBytes -= dropped.size();
        _early.erase(oldest);
    }
}

void AgentChannel::readFrames()
{
    FrameReader reader;
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
        const long got = _process->read(buffer.data(), buffer.size());
        if (got <= 0) {
            if (!ended()) end(goneText());
            return;
        }
        _bytesReceived.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
        if (!reader.feed(buffer.data(), static_cast<std::size_t>(got))) {
            end(_host + ": the agent's output is not the agent protocol (" + reader.error() + ")");
            return;
        }
        while (std::optional<std::vector<std::uint8_t>> frame = reader.next()) {
            std::string error;
            const Envelope* envelope = messageOf(*frame, error);
            if (!envelope) {
                end(_host + ": the agent sent a bad frame: " + error);
                return;
            }
            if (envelope->id() == 0) {
                if (const std::optional<std::uint32_t> connection = noticeConnection(*envelope)) {
                    deliver(*connection, std::move(*frame), *envelope);
                    continue;
                }
            }
            std::lock_guard lock(_mutex);
            const auto waiting = _waiting.find(envelope->id());
            if (waiting == _waiting.end() || waiting->second.has_value()) {
                _endText = _host + ": the agent sent " + bodyName(envelope->body_type()) + " for request " +
                           std::to_string(envelope->id()) + ", which nobody waits for";
                _answered.notify_all();
                _process->stop();
                return;
            }
            Answer answer;
            answer.frame = std::move(*frame);
            // The frame's bytes moved, not copied: the envelope still points into them.
            answer.envelope = envelope;
            waiting->second = std::move(answer);
            _answered.notify_all();
        }
    }
}

} // namespace platform::remote
