// The channel to an agent against an agent the test plays: the handshake and its version rule,
// answers matched to their requests, and every way the other end can go wrong ending the channel
// with a text, never with a wait that does not end.
#include "ScriptedAgent.h"

#include "platform/remote/AgentChannel.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

using namespace platform::remote;
using namespace tagvista::agent;
using remotetest::AgentEnd;
using remotetest::ScriptedProcess;

std::vector<std::uint8_t> helloFrame(std::uint32_t id, std::uint32_t protocol)
{
    flatbuffers::FlatBufferBuilder builder;
    builder.Finish(CreateEnvelope(builder, id, Body::Hello, CreateHello(builder, protocol, builder.CreateString("agent 9.9")).Union()));
    return frameOf(builder);
}

std::vector<std::uint8_t> listFrame(std::uint32_t id, const std::string& name)
{
    flatbuffers::FlatBufferBuilder builder;
    const std::vector<flatbuffers::Offset<ServerKey>> keys{CreateServerKey(builder, builder.CreateString(name))};
    builder.Finish(CreateEnvelope(builder, id, Body::ServerList, CreateServerList(builder, builder.CreateVector(keys)).Union()));
    return frameOf(builder);
}

std::uint32_t idOf(const std::vector<std::uint8_t>& request)
{
    std::string error;
    const Envelope* message = messageOf(request, error);
    return message ? message->id() : 0;
}

AgentChannel::BodyBuilder listServers()
{
    return [](flatbuffers::FlatBufferBuilder& builder) {
        return std::make_pair(Body::ListServers, CreateListServers(builder).Union());
    };
}

// A channel to an agent played by the test; the agent's thread first answers the hello.
class ChannelTest : public ::testing::Test {
protected:
    void open(std::uint32_t protocol = kProtocolVersion)
    {
        int other = -1;
        auto process = std::make_unique<ScriptedProcess>(other);
        _process = process.get();
        _agent = std::make_unique<AgentEnd>(other);
        std::thread hello([&] {
            if (auto request = _agent->nextRequest()) _agent->send(helloFrame(idOf(*request), protocol));
        });
        _channel = AgentChannel::openOn("plc-7", std::move(process), _settings, _openError);
        hello.join();
    }
    std::string listName(std::string& error)
    {
        const auto answer = _channel->call(listServers(), error);
        if (!answer) return {};
        const ServerList* list = answer->envelope->body_as_ServerList();
        return list && list->keys() && list->keys()->size() == 1 ? list->keys()->Get(0)->name()->str() : "?";
    }

    AgentSettings _settings;
    ScriptedProcess* _process = nullptr;
    std::unique_ptr<AgentEnd> _agent;
    std::shared_ptr<AgentChannel> _channel;
    std::string _openError;
};

TEST_F(ChannelTest, AnswersReachTheirRequestsInAnyOrder)
{
    open();
    ASSERT_NE(_channel, nullptr) << _openError;
    EXPECT_EQ(_channel->agentProgram(), "agent 9.9");

    // Four callers at once; the agent answers them last first, each with a name of its id.
    std::thread agent([&] {
        std::vector<std::uint32_t> ids;
        for (int i = 0; i < 4; ++i) ids.push_back(idOf(*_agent->nextRequest()));
        for (auto id = ids.rbegin(); id != ids.rend(); ++id) _agent->send(listFrame(*id, "for " + std::to_string(*id)));
    });
    std::vector<std::string> names(4), errors(4);
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) callers.emplace_back([&, i] { names[i] = listName(errors[i]); });
    for (std::thread& caller : callers) caller.join();
    agent.join();
    std::set<std::string> distinct;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(names[i].rfind("for ", 0), 0u) << errors[i];
        distinct.insert(names[i]);
    }
    EXPECT_EQ(distinct.size(), 4u) << "each caller has the answer to its own request";
    EXPECT_FALSE(_channel->ended());
}

TEST_F(ChannelTest, AnAgentOfAnotherProtocolIsRefusedNamingBoth)
{
    open(kProtocolVersion + 1);
    EXPECT_EQ(_channel, nullptr);
    EXPECT_NE(_openError.find("speaks protocol " + std::to_string(kProtocolVersion + 1)), std::string::npos) << _openError;
    EXPECT_NE(_openError.find("this program protocol " + std::to_string(kProtocolVersion)), std::string::npos) << _openError;
    EXPECT_NE(_openError.find("agent 9.9"), std::string::npos) << _openError;
    EXPECT_FALSE(_agent->nextRequest().has_value()) << "the channel is closed after the refusal";
}

TEST_F(ChannelTest, AnAnswerNobodyWaitsForEndsTheChannel)
{
    open();
    ASSERT_NE(_channel, nullptr) << _openError;
    std::thread agent([&] {
        const std::uint32_t id = idOf(*_agent->nextRequest());
        _agent->send(listFrame(id + 1000, "stray"));  // then floods; none of it may be taken
        for (int i = 0; i < 1000; ++i) _agent->send(listFrame(id + 2000 + i, "flood"));
    });
    std::string error;
    EXPECT_EQ(listName(error), "");
    agent.join();
    EXPECT_NE(error.find("which nobody waits for"), std::string::npos) << error;
    EXPECT_TRUE(_channel->ended());
    std::string later;
    EXPECT_FALSE(_channel->call(listServers(), later).has_value());
    EXPECT_EQ(later, error) << "an ended channel fails at once with its text";
}

TEST_F(ChannelTest, ABadFrameOrAnAbsurdLengthEndsTheChannel)
{
    for (const std::vector<std::uint8_t>& bad :
         {std::vector<std::uint8_t>{8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0x7F}}) {
        open();
        ASSERT_NE(_channel, nullptr) << _openError;
        std::thread agent([&] {
            _agent->nextRequest();
            _agent->send(bad);
        });
        std::string error;
        EXPECT_EQ(listName(error), "");
        agent.join();
        EXPECT_TRUE(error.find("bad frame") != std::string::npos || error.find("not the agent protocol") != std::string::npos)
            << error;
        _channel.reset();
    }
}

TEST_F(ChannelTest, AnAgentThatDoesNotAnswerFailsAtTheDeadline)
{
    _settings.requestDeadline = std::chrono::milliseconds(200);
    open();
    ASSERT_NE(_channel, nullptr) << _openError;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(_channel->call(listServers(), error).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(error, "plc-7: the agent did not answer ListServers within 0.2 s");
    EXPECT_TRUE(_channel->ended()) << "a late answer could not be told from the next one's";

    // The hello has its own deadline.
    _settings.helloDeadline = std::chrono::milliseconds(100);
    int other = -1;
    auto silent = std::make_unique<ScriptedProcess>(other);
    AgentEnd mute(other);
    EXPECT_EQ(AgentChannel::openOn("plc-8", std::move(silent), _settings, error), nullptr);
    EXPECT_EQ(error, "plc-8: the agent did not answer Hello within 0.1 s");
}

TEST_F(ChannelTest, AnAgentThatGoesAwayEndsWithWhatSshOrTheShellSaid)
{
    struct Case {
        const char* said;
        const char* end;
        const char* text;
    };
    for (const Case& c : {Case{"Connection to 127.0.0.1 closed by remote host.", "exit code 255",
                               "plc-7: ssh failed: Connection to 127.0.0.1 closed by remote host."},
                          Case{"bash: line 1: tagvista-agent: command not found", "exit code 127",
                               "plc-7: the agent ended: bash: line 1: tagvista-agent: command not found (exit code 127)"},
                          Case{"", "killed by signal 9", "plc-7: the ssh connection was cut (killed by signal 9)"}}) {
        open();
        ASSERT_NE(_channel, nullptr) << _openError;
        std::thread agent([&] {
            _agent->nextRequest();
            _process->sayOnEnd(c.said, c.end);
            _agent->close();
        });
        std::string error;
        EXPECT_EQ(listName(error), "");
        agent.join();
        EXPECT_EQ(error, c.text);
        _channel.reset();
    }
}

std::vector<std::uint8_t> noticeFrame(std::uint32_t connection, const std::string& reason)
{
    flatbuffers::FlatBufferBuilder builder;
    builder.Finish(CreateEnvelope(builder, 0, Body::Shutdown,
                                  CreateShutdown(builder, connection, builder.CreateString(reason)).Union()));
    return frameOf(builder);
}

// An agent may send under a connection before the program has its answer to the advise: such
// notices wait for their receiver and come first, in order; after the receiver has gone they
// are dropped, and a flood of unclaimed ones is bounded, not fatal.
TEST_F(ChannelTest, NoticesBeforeTheirReceiverWaitForItAndNoneFollowItsRemoval)
{
    open();
    ASSERT_TRUE(_channel) << _openError;
    _agent->send(noticeFrame(7, "first"));
    _agent->send(noticeFrame(7, "second"));
    for (int i = 0; i < 1000; ++i) _agent->send(noticeFrame(1000 + i, std::string(100, 'x')));  // nobody's
    std::string error;
    // An answer after them all: by then the reader has taken them.
    std::thread answer([&] {
        if (auto request = _agent->nextRequest()) _agent->send(listFrame(idOf(*request), "after"));
    });
    EXPECT_EQ(listName(error), "after") << error;
    answer.join();

    std::vector<std::string> received;
    std::mutex mutex;
    _channel->setNoticeHandler(7, [&](const Envelope& notice) {
        std::lock_guard lock(mutex);
        received.push_back(notice.body_as_Shutdown()->reason()->str());
    });
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(received, (std::vector<std::string>{"first", "second"}));
    }
    _channel->removeNoticeHandler(7);
    _agent->send(noticeFrame(7, "late"));
    std::thread again([&] {
        if (auto request = _agent->nextRequest()) _agent->send(listFrame(idOf(*request), "again"));
    });
    EXPECT_EQ(listName(error), "again") << error;
    again.join();
    // Set again, nothing that came while it was away is handed over.
    _channel->setNoticeHandler(7, [&](const Envelope&) {
        std::lock_guard lock(mutex);
        received.push_back("kept");
    });
    std::lock_guard lock(mutex);
    EXPECT_EQ(received.size(), 2u);
    EXPECT_FALSE(_channel->ended()) << _channel->endText();
}

} // namespace
