// One remote computer's tagvista-agent, reached by starting it through the system's ssh client:
// the handshake, requests answered within a deadline, and an end with a text the user can act on
// (ssh's own message quoted).
//
// Any thread may call; the channel's reader thread takes the agent's frames. Whatever the agent
// sends that is not an answer to a request waiting for it ends the channel.
#pragma once

#include "ChildProcess.h"
#include "Frames.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace platform::remote {

struct AgentSettings {
    // The ssh command and its own options; the host and the agent command follow.
    std::vector<std::string> ssh{"ssh"};
    // The agent's command line on the remote computer, one word for ssh to run.
    std::string agent = "tagvista-agent --stdio";
    // For ssh to connect and authenticate and the agent to say hello.
    std::chrono::milliseconds helloDeadline{20000};
    // For the answer to any other request.
    std::chrono::milliseconds requestDeadline{30000};
};

// The settings of the given commands ("" keeps the default), where TAGVISTA_SSH replaces the ssh
// command ("ssh -F /path/config") and TAGVISTA_AGENT the agent command.
AgentSettings agentSettingsFor(const std::string& sshCommand, const std::string& agentCommand);
// Those of the environment alone.
AgentSettings agentSettingsFromEnvironment();

// The full command that reaches host: ssh's words, then what keeps any prompt from blocking
// (batch mode), then the host and the agent command.
std::vector<std::string> sshCommandFor(const AgentSettings& settings, const std::string& host);

class AgentChannel {
public:
    // An answer: the frame it came in and its verified envelope (which points into the frame).
    struct Answer {
        std::vector<std::uint8_t> frame;
        const tagvista::agent::Envelope* envelope = nullptr;
    };
    using BodyBuilder =
        std::function<std::pair<tagvista::agent::Body, flatbuffers::Offset<void>>(flatbuffers::FlatBufferBuilder&)>;

    // Starts the agent on host and waits for its hello. Null with the text when it cannot.
    static std::shared_ptr<AgentChannel> open(const std::string& host, const AgentSettings& settings,
                                              std::string& error);
    // Starts the channel on a program already running (the tests give one that speaks falsely).
    static std::shared_ptr<AgentChannel> openOn(const std::string& host, std::unique_ptr<ChildProcess> process,
                                                const AgentSettings& settings, std::string& error);
    ~AgentChannel();
    AgentChannel(const AgentChannel&) = delete;
    AgentChannel& operator=(const AgentChannel&) = delete;

    // Sends a request and waits for its answer. None, with the text, when the channel has ended,
    // ends meanwhile, or the deadline passes (which ends the channel: a late answer could not be
    // told from the next one's). An answer that is a Failure is an answer.
    std::optional<Answer> call(const BodyBuilder& build, std::string& error);
    std::optional<Answer> call(const BodyBuilder& build, std::chrono::milliseconds deadline, std::string& error);

    // The receiver of what an advise of the agent sends unasked under its connection number
    // (DataChange, Shutdown, Callback), called on the channel's reader thread with the verified
    // message (valid during the call). What comes before the receiver is set (the agent may send
    // before its answer to the advise has reached the caller) is kept, up to a limit, and handed
    // to it first; what comes after it is removed is dropped.
    using NoticeHandler = std::function<void(const tagvista::agent::Envelope& notice)>;
    void setNoticeHandler(std::uint32_t connection, NoticeHandler handler);
    // After it returns no call of the handler runs or follows (one that runs is waited for,
    // unless it is the caller).
    void removeNoticeHandler(std::uint32_t connection);
    // The same for a stream's connection, with each block's bytes.
    using DataChangeHandler = std::function<void(const std::uint8_t* block, std::size_t size)>;
    void setDataChangeHandler(std::uint32_t connection, DataChangeHandler handler);
    void removeDataChangeHandler(std::uint32_t connection) { removeNoticeHandler(connection); }

    const std::string& host() const { return _host; }
    // Bytes read from the agent so far, frames' lengths included. Any thread.
    std::uint64_t bytesReceived() const { return _bytesReceived.load(std::memory_order_relaxed); }
    bool ended() const;
    // Why it ended; "" while it works.
    std::string endText() const;
    // The agent's program version, from its hello.
    const std::string& agentProgram() const { return _agentProgram; }

private:
    AgentChannel(std::string host, std::unique_ptr<ChildProcess> process, const AgentSettings& settings);
    bool handshake(std::string& error);
    void readFrames();
    // Hands a notice to its receiver, keeps it for one to come, or drops it.
    void deliver(std::uint32_t connection, std::vector<std::uint8_t>&& frame, const tagvista::agent::Envelope& notice);
    // Ends the channel with this text (the first one stays) and wakes every waiting call.
    void end(const std::string& text);
    // The text for an agent that has gone: ssh's message, or the remote side's.
    std::string goneText();

    const std::string _host;
    const std::unique_ptr<ChildProcess> _process;
    const AgentSettings _settings;
    std::string _agentProgram;
    std::atomic<std::uint32_t> _nextId{1};
    std::atomic<std::uint64_t> _bytesReceived{0};
    std::mutex _writeMutex;  // one frame at a time on the stream

    mutable std::mutex _mutex;
    std::condition_variable _answered;
    std::map<std::uint32_t, std::optional<Answer>> _waiting;  // by request id; guarded by _mutex
    std::string _endText;                                      // guarded by _mutex
    std::recursive_mutex _deliveryMutex;  // held while a handler runs and while one is removed
    std::map<std::uint32_t, NoticeHandler> _handlers;  // guarded by _deliveryMutex
    // Notices of connections whose receiver is not set yet, oldest first, and the connections
    // whose receiver has gone (their notices are dropped). Guarded by _deliveryMutex.
    std::map<std::uint32_t, std::deque<std::vector<std::uint8_t>>> _early;
    std::size_t _earlyBytes = 0;
    std::set<std::uint32_t> _removed;
    std::thread _reader;
};

} // namespace platform::remote
