// The engine against the servers out of process: the same tree, value types and texts as in
// process, server processes that are killed while values stream (the engine's connection and
// tagvista-cli's watch), and connect/disconnect cycles.
#include "EngineOutOfProcess.h"
#include "servers/simulation/ProcessClasses.h"
#include "servers/simulation/SimulationClasses.h"
#include "client/ValueText.h"

#include <cstdio>
#include <map>
#include <optional>

namespace {

using namespace outofprocess;

// The server's start as the connect logged it (level 5, to the millisecond), in 100-ns ticks.
std::optional<ULONGLONG> loggedStart(const clienttest::LogCapture& log, const std::string& prefix)
{
    const std::string mark = prefix + ": StartTime = ";
    for (const std::string& line : log.lines()) {
        const auto at = line.find(mark);
        if (at == std::string::npos) continue;
        SYSTEMTIME st{};
        if (std::sscanf(line.c_str() + at + mark.size(), "%hu/%hu/%hu %hu:%hu:%hu:%hu", &st.wYear, &st.wMonth, &st.wDay,
                        &st.wHour, &st.wMinute, &st.wSecond, &st.wMilliseconds) != 7)
            return std::nullopt;
        FILETIME ft;
        if (!SystemTimeToFileTime(&st, &ft)) return std::nullopt;
        return platform::fileTimeToU64(ft);
    }
    return std::nullopt;
}

TEST_F(EngineOutOfProcess, SameTreeTypesAndTextsAsInProcess)
{
    // Both forms compute an item's value from the time since their server object began, so a
    // value sent at the same offset from each server's start must read the same in the table.
    clienttest::LogCapture log(5);
    ComPtr<IUnknown> holder;  // the server process runs before the connects start
    ASSERT_EQ(createLocal(servers::simulation::CLSID_TagvistaSimulationProcess, holder), S_OK);
    OPC_Connection* inside = make(servers::simulation::CLSID_TagvistaSimulation, "Tagvista.Simulation.1");
    OPC_Connection* outside =
        make(servers::simulation::CLSID_TagvistaSimulationProcess, servers::simulation::kSimulationProcessProgId);
    inside->connect();
    outside->connect();
    ASSERT_TRUE(_window.pumpUntil([&] {
        return _window.count(WM_SERVER_READY, inside) && _window.count(WM_SERVER_READY, outside);
    }, 60s));
    ASSERT_TRUE(inside->connected()) << inside->lastError();
    ASSERT_TRUE(outside->connected()) << outside->lastError();
    ASSERT_TRUE(allDelivered(inside));
    ASSERT_TRUE(allDelivered(outside));
    const auto expected = typesByPath(inside);
    EXPECT_GT(expected.size(), 100u);
    EXPECT_EQ(typesByPath(outside), expected);  // Cyrillic paths, arrays and strings included

    const auto insideStart = loggedStart(log, "(local)|Tagvista.Simulation.1");
    const auto outsideStart = loggedStart(log, std::string("(local)|") + servers::simulation::kSimulationProcessProgId);
    ASSERT_TRUE(insideStart && outsideStart) << log.all();

    // Every value each side receives for a while: its texts by item and offset in milliseconds.
    std::map<std::string, std::map<ULONGLONG, std::string>> texts[2];
    std::map<const void*, std::pair<int, OPC_Item*>> sides;
    for (OPC_Item* item : inside->items()) sides[item] = {0, item};
    for (OPC_Item* item : outside->items()) sides[item] = {1, item};
    const ULONGLONG starts[2] = {*insideStart, *outsideStart};
    // Taking an item's changes before reading it is what asks for its next notification.
    const auto sample = [&](int side, OPC_Item* item) {
        item->takeChanges();
        const OPC_Item::Record record = item->readValue();
        const ULONGLONG at = platform::fileTimeToU64(record.timeStamp);
        if (at < starts[side]) return;
        texts[side][item->path()][(at - starts[side]) / 10'000] =
            valueText(*record.value.get()) + " | " + qualityText(record.quality);
    };
    _window.onMessage = [&](UINT id, WPARAM w) {
        const auto it = sides.find(reinterpret_cast<const void*>(w));
        if (id == WM_ITEM_NEW_VALUE && it != sides.end()) sample(it->second.first, it->second.second);
    };
    for (const auto& [key, side] : sides) sample(side.first, side.second);
    _window.pumpFor(4s);
    _window.onMessage = nullptr;

    std::size_t compared = 0, clocks = 0;
    for (const auto& [path, byOffset] : texts[0]) {
        // The clock items show the time itself, which differs with the start.
        if (path.find("Clock/") != std::string::npos) {
            ++clocks;
            continue;
        }
        const auto other = texts[1].find(path);
        if (other == texts[1].end()) continue;
        bool shared = false;
        for (const auto& [offset, text] : byOffset) {
            const auto same = other->second.find(offset);
            if (same == other->second.end()) continue;
            shared = true;
            EXPECT_EQ(same->second, text) << path << " at " << offset << " ms";
        }
        compared += shared;
    }
    // Items whose value moved between the two starts have no offset in common; few do.
    EXPECT_GE(compared, (expected.size() - clocks) * 9 / 10) << compared << " of " << expected.size() - clocks;
    EXPECT_TRUE(disconnectAndWait(inside));
    EXPECT_TRUE(disconnectAndWait(outside));
}

// Wine keeps the class registrations of a killed server process until its wineserver ends, so
// every later creation of those classes fails: the tests that kill run last, as a test of their
// own, each killing another program.
TEST_F(EngineOutOfProcess, KilledServerEndsTheConnectionWithTheSystemsReason)
{
    using servers::test::Fault;
    OPC_Connection* c = makeTest(Fault::None, {30s, 10s, 1s});
    ASSERT_TRUE(connectAndWait(c)) << c->lastError();
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.itemTotal() > 0; }));

    const auto killed = std::chrono::steady_clock::now();
    killServerProcesses(L"tagvista-testserver.exe");
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_DISCONNECTED, c) == 1; }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 10s);
    EXPECT_TRUE(c->idle());
    EXPECT_TRUE(c->items().empty());
    EXPECT_EQ(c->lastError().rfind(prefix(Fault::None) + ": GetStatus() Failed: ", 0), 0u) << c->lastError();
}

TEST(CommandLineOutOfProcess, KilledServerEndsTheWatchWithTwoAndTheReason)
{
    // tagvista-cli with its own settings: the status check every 3 s.
    ASSERT_TRUE(waitUntilNoServerProcess());
    RunningProgram watch(cliProgram(), L"watch Tagvista.SimulationProcess.1");
    ASSERT_TRUE(watch.started());
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (watch.output().size() < 10'000 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    ASSERT_GE(watch.output().size(), 10'000u) << "the watch printed no values:\n" << watch.output();
    ASSERT_EQ(serverProcesses(L"tagvista-simserver.exe").size(), 1u);

    const auto killed = std::chrono::steady_clock::now();
    killServerProcesses(L"tagvista-simserver.exe");
    EXPECT_EQ(watch.waitForExit(15s), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 15s);
    const std::string output = watch.output();
    const std::string said = "tagvista-cli: (local)|Tagvista.SimulationProcess.1: GetStatus() Failed: ";
    const auto at = output.rfind(said);
    ASSERT_NE(at, std::string::npos) << output.substr(output.size() > 2000 ? output.size() - 2000 : 0);
    // One line, the last.
    const auto end = output.find('\n', at);
    EXPECT_TRUE(end == std::string::npos || output.find_first_not_of("\r\n", end) == std::string::npos)
        << output.substr(at);
}

TEST_F(EngineOutOfProcess, TwoHundredConnectCycles)
{
    // A small scale server, and one object held meanwhile so that the process serves every cycle.
    const ServerProcessUserValues size(servers::simulation::kScaleUserKey,
                                       {{"Branches", 2}, {"ItemsPerBranch", 5}, {"UpdateRate", 50}});
    {
        platform::ComPtr<IUnknown> holder;
        ASSERT_EQ(outofprocess::createLocal(servers::simulation::CLSID_TagvistaScaleProcess, holder), S_OK);
        OPC_Connection* c =
            make(servers::simulation::CLSID_TagvistaScaleProcess, servers::simulation::kScaleProcessProgId);
        for (int cycle = 0; cycle < 200; ++cycle) {
            ASSERT_TRUE(connectAndWait(c)) << "cycle " << cycle << ": " << c->lastError();
            ASSERT_EQ(c->items().size(), 10u);
            ASSERT_TRUE(disconnectAndWait(c)) << "cycle " << cycle << ": " << c->lastError();
            ASSERT_EQ(c->lastError(), "") << "cycle " << cycle;
        }
        EXPECT_EQ(outofprocess::serverProcesses().size(), 1u);
    }
}

} // namespace
