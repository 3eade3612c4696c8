// The agent protocol's frames as they come off a stream: cut at any byte, refused past the limit,
// and never read past a frame whatever its bytes say.
#include "platform/remote/AgentChannel.h"
#include "platform/remote/AgentHosts.h"
#include "platform/remote/ChildProcess.h"
#include "platform/remote/Frames.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace platform::remote;
using namespace tagvista::agent;

std::vector<std::uint8_t> serverListFrame(std::uint32_t id, int keys)
{
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<ServerKey>> entries;
    for (int i = 0; i < keys; ++i) {
        const std::string clsid = "{52EC3FAF-91D5-45CF-95DD-A92F9D1C3A" + std::to_string(10 + i) + "}";
        const std::vector<std::uint8_t> data(clsid.begin(), clsid.end() + 1);
        entries.push_back(CreateServerKey(builder, builder.CreateString("Vendor.Server." + std::to_string(i)), true,
                                          1, builder.CreateVector(data)));
    }
    builder.Finish(CreateEnvelope(builder, id, Body::ServerList, CreateServerList(builder, builder.CreateVector(entries)).Union()));
    return frameOf(builder);
}

std::vector<std::uint8_t> contentOf(const std::vector<std::uint8_t>& frame)
{
    return std::vector<std::uint8_t>(frame.begin() + 4, frame.end());
}

TEST(AgentFrames, AreCutAtAnyByteAndComeOutWholeInOrder)
{
    std::vector<std::uint8_t> stream;
    for (std::uint32_t id = 1; id <= 3; ++id) {
        const auto frame = serverListFrame(id, static_cast<int>(id) * 5);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, stream.size()}) {
        FrameReader reader;
        std::vector<std::uint32_t> ids;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            ASSERT_TRUE(reader.feed(stream.data() + at, std::min(piece, stream.size() - at)));
            while (auto frame = reader.next()) {
                std::string error;
                const Envelope* message = messageOf(*frame, error);
                ASSERT_NE(message, nullptr) << error;
                ids.push_back(message->id());
                EXPECT_EQ(message->body_as_ServerList()->keys()->size(), message->id() * 5);
            }
        }
        EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3})) << "pieces of " << piece;
        EXPECT_FALSE(reader.midFrame());
    }

    FrameReader cut;
    const auto frame = serverListFrame(9, 2);
    cut.feed(frame.data(), frame.size() - 1);
    EXPECT_FALSE(cut.next().has_value());
    EXPECT_TRUE(cut.midFrame()) << "a stream that ends here was cut";
}

TEST(AgentFrames, ALengthPastTheLimitIsRefusedBeforeItIsRead)
{
    FrameReader reader(1000);
    const std::uint8_t huge[] = {0xE9, 0x03, 0x00, 0x00, 'x'};  // 1001 bytes announced
    EXPECT_FALSE(reader.feed(huge, sizeof huge));
    EXPECT_NE(reader.error().find("1001 bytes"), std::string::npos) << reader.error();
    EXPECT_FALSE(reader.feed(huge, 1)) << "the stream cannot be followed after it";
    EXPECT_FALSE(reader.next().has_value());

    // A shell's greeting where the agent should speak: its letters make an absurd length.
    FrameReader greeted;
    const std::string motd = "Welcome to the plant network\n";
    EXPECT_FALSE(greeted.feed(reinterpret_cast<const std::uint8_t*>(motd.data()), motd.size()));
}

TEST(AgentFrames, ContentThatIsNoMessageIsRefusedWithoutReadingPastIt)
{
    std::string error;
    EXPECT_EQ(messageOf({}, error), nullptr);
    EXPECT_EQ(messageOf({1, 2, 3}, error), nullptr);
    EXPECT_EQ(messageOf(std::vector<std::uint8_t>(64, 0xFF), error), nullptr);

    // A body kind this protocol does not know (a newer writer's, or a broken one).
    flatbuffers::FlatBufferBuilder builder;
    builder.Finish(CreateEnvelope(builder, 5, static_cast<Body>(77), CreateListServers(builder).Union()));
    EXPECT_EQ(messageOf(contentOf(frameOf(builder)), error), nullptr);
    EXPECT_NE(error.find("unknown kind 77"), std::string::npos) << error;

    // An envelope without a body.
    flatbuffers::FlatBufferBuilder empty;
    empty.Finish(CreateEnvelope(empty, 6));
    EXPECT_EQ(messageOf(contentOf(frameOf(empty)), error), nullptr);
}

// Every byte of real frames changed, and frames cut short: each is refused or read within its
// bytes (the address sanitizer build tells a read past them), and a frame that verifies can be
// read whole.
TEST(AgentFrames, MutatedFramesAreRefusedOrReadWithinTheirBytes)
{
    std::mt19937 random(20261209);
    const std::vector<std::uint8_t> original = contentOf(serverListFrame(3, 6));
    int refused = 0, taken = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> frame = original;
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int c = 0; c < changes; ++c) {
            const std::size_t at = random() % frame.size();
            switch (random() % 3) {
            case 0: frame[at] = static_cast<std::uint8_t>(random()); break;
            case 1: frame[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
            default: frame.resize(at); break;
            }
            if (frame.empty()) break;
        }
        // The copy is exactly as long as the frame: a read past it is a read past the heap block.
        frame.shrink_to_fit();
        std::string error;
        const Envelope* message = messageOf(frame, error);
        if (!message) {
            ++refused;
            EXPECT_FALSE(error.empty());
            continue;
        }
        ++taken;
        if (const ServerList* list = message->body_as_ServerList(); list && list->keys()) {
            for (const ServerKey* key : *list->keys()) {
                if (key->name()) (void)key->name()->str();
                if (key->clsid_data()) (void)std::vector<std::uint8_t>(key->clsid_data()->begin(), key->clsid_data()->end());
            }
        }
    }
    EXPECT_GT(refused, 1000);
    EXPECT_GT(taken, 100) << "changes in values only still verify";
}

TEST(AgentCommandLine, SplitsLikeAShell)
{
    EXPECT_EQ(splitCommandLine("ssh -F /tmp/my config"), (std::vector<std::string>{"ssh", "-F", "/tmp/my", "config"}));
    EXPECT_EQ(splitCommandLine("  ssh  -F '/tmp/my config'  "), (std::vector<std::string>{"ssh", "-F", "/tmp/my config"}));
    EXPECT_EQ(splitCommandLine(R"(ssh -o "ProxyJump=a b" x\ y "")"),
              (std::vector<std::string>{"ssh", "-o", "ProxyJump=a b", "x y", ""}));
    EXPECT_EQ(splitCommandLine(R"(a "q\"uote" 'single\')"), (std::vector<std::string>{"a", "q\"uote", "single\\"}));
    EXPECT_TRUE(splitCommandLine("   ").empty());
}

// The user's commands, unless the environment names others; blanks keep the defaults.
TEST(AgentCommandLine, SettingsGiveWayToTheEnvironment)
{
    const auto restore = [](const char* name, const char* value) {
        if (value) setenv(name, value, 1); else unsetenv(name);
    };
    const std::string sshBefore = std::getenv("TAGVISTA_SSH") ? std::getenv("TAGVISTA_SSH") : "";
    const std::string agentBefore = std::getenv("TAGVISTA_AGENT") ? std::getenv("TAGVISTA_AGENT") : "";
    unsetenv("TAGVISTA_SSH");
    unsetenv("TAGVISTA_AGENT");

    const AgentSettings defaults;
    AgentSettings settings = agentSettingsFor("", "  ");
    EXPECT_EQ(settings.ssh, defaults.ssh);
    EXPECT_EQ(settings.agent, defaults.agent);
    settings = agentSettingsFor("ssh -F '/etc/plant ssh'", "/opt/tagvista/bin/tagvista-agent --stdio");
    EXPECT_EQ(settings.ssh, (std::vector<std::string>{"ssh", "-F", "/etc/plant ssh"}));
    EXPECT_EQ(settings.agent, "/opt/tagvista/bin/tagvista-agent --stdio");

    setenv("TAGVISTA_SSH", "plink -batch", 1);
    setenv("TAGVISTA_AGENT", "agent --stdio", 1);
    settings = agentSettingsFor("ssh -F x", "other");
    EXPECT_EQ(settings.ssh, (std::vector<std::string>{"plink", "-batch"}));
    EXPECT_EQ(settings.agent, "agent --stdio");
    EXPECT_EQ(sshCommandFor(settings, "-oProxyCommand=x").back(), "agent --stdio");
    EXPECT_EQ(sshCommandFor(settings, "-oProxyCommand=x").rbegin()[2], "--") << "a host is never an option";

    restore("TAGVISTA_SSH", sshBefore.empty() ? nullptr : sshBefore.c_str());
    restore("TAGVISTA_AGENT", agentBefore.empty() ? nullptr : agentBefore.c_str());
}

// "ssh:name" always means the agent, even of this computer; a plain name means it unless it is
// this computer (on Windows plain names keep DCOM: sshWrittenHost is what that layer asks).
TEST(AgentHostNames, SshWrittenNamesAlwaysGoToTheAgent)
{
    EXPECT_EQ(sshWrittenHost("ssh:plant-7"), "plant-7");
    EXPECT_EQ(sshWrittenHost("\\\\SSH:operator@plant-7"), "operator@plant-7");
    EXPECT_EQ(sshWrittenHost("plant-7"), "");
    EXPECT_EQ(sshWrittenHost("ssh:"), "");
    EXPECT_EQ(sshWrittenHost("sshd:plant"), "");
    EXPECT_EQ(remoteHostName("ssh:localhost"), "localhost");
    EXPECT_EQ(remoteHostName("\\\\plant-7"), "plant-7");
    EXPECT_EQ(remoteHostName("localhost"), "");
    EXPECT_EQ(remoteHostName(""), "");
}

} // namespace
