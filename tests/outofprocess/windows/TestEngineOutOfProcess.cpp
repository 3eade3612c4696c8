// The engine against the servers out of process: the same tree and value types as in process,
// a server process that is killed while values stream, and connect/disconnect cycles.
#include "ClientTestSupport.h"
#include "OutOfProcessSupport.h"
#include "client/Host.h"
#include "client/OPC_Connection.h"
#include "servers/simulation/ProcessClasses.h"
#include "servers/simulation/SimulationClasses.h"

#include <gtest/gtest.h>

#include <map>

using namespace std::chrono_literals;

namespace {

const std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};

// The program's COM start-up (security, the stream format), once for the process; COM itself is
// up already.
void startEngine()
{
    static Co::Inner* const com = new Co::Inner();
    (void)com;
}

// Values of the real user registry, which a server process reads: this process's user key is a
// test key of its own, so the override is lifted while they are written. Removed at the end.
class ServerProcessUserValues {
public:
    ServerProcessUserValues(const char* path, std::vector<std::pair<const char*, DWORD>> values)
        : _path(path), _values(std::move(values))
    {
        write(true);
    }
    ~ServerProcessUserValues() { write(false); }

private:
    void write(bool set)
    {
        HKEY own = nullptr;
        RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 0, KEY_ALL_ACCESS, &own);
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, _path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            for (const auto& [name, value] : _values) {
                if (set)
                    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
                else
                    RegDeleteValueA(key, name);
            }
            RegCloseKey(key);
        }
        RegOverridePredefKey(HKEY_CURRENT_USER, own);
        if (own) RegCloseKey(own);
    }

    const char* _path;
    std::vector<std::pair<const char*, DWORD>> _values;
};

class EngineOutOfProcess : public ::testing::Test {
protected:
    EngineOutOfProcess()
    {
        startEngine();
        _host = std::make_unique<Host>("(local)", kLoopback);
        EXPECT_TRUE(_window.pumpUntil([&] { return !_host->busy(); }));
    }
    ~EngineOutOfProcess() override
    {
        _connections.clear();
        _window.pumpUntil([] { return platform::Worker::running() == 0; }, 30s);
        EXPECT_TRUE(outofprocess::waitUntilNoServerProcess());
    }
    OPC_Connection* make(const CLSID& clsid, const char* name)
    {
        _connections.push_back(std::make_unique<OPC_Connection>(_host.get(), clsid, name));
        return _connections.back().get();
    }
    bool connectAndWait(OPC_Connection* c)
    {
        const int before = _window.count(WM_SERVER_READY, c);
        c->connect();
        return _window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) > before; }, 60s) && c->connected();
    }
    bool disconnectAndWait(OPC_Connection* c)
    {
        const int before = _window.count(WM_SERVER_DISCONNECTED, c);
        c->disconnect();
        return _window.pumpUntil([&] { return _window.count(WM_SERVER_DISCONNECTED, c) > before; }, 60s) && c->idle();
    }
    bool allDelivered(OPC_Connection* c)
    {
        return _window.pumpUntil([&] {
            for (OPC_Item* item : c->items())
                if (_window.itemValues(item) == 0) return false;
            return true;
        }, 60s);
    }
    // Each item's path and the type of the value it holds now.
    static std::map<std::string, VARTYPE> typesByPath(OPC_Connection* c)
    {
        std::map<std::string, VARTYPE> types;
        for (OPC_Item* item : c->items()) types[item->path()] = item->readValue().value->vt;
        return types;
    }

    clienttest::Window _window;
    std::unique_ptr<Host> _host;
    std::vector<std::unique_ptr<OPC_Connection>> _connections;
};

TEST_F(EngineOutOfProcess, SameTreeAndValueTypesAsInProcess)
{
    OPC_Connection* inside = make(servers::simulation::CLSID_TagvistaSimulation, "Tagvista.Simulation.1");
    OPC_Connection* outside =
        make(servers::simulation::CLSID_TagvistaSimulationProcess, servers::simulation::kSimulationProcessProgId);
    ASSERT_TRUE(connectAndWait(inside)) << inside->lastError();
    ASSERT_TRUE(connectAndWait(outside)) << outside->lastError();
    EXPECT_EQ(outside->lastError(), "");
    ASSERT_TRUE(allDelivered(inside));
    ASSERT_TRUE(allDelivered(outside));
    const auto expected = typesByPath(inside);
    EXPECT_GT(expected.size(), 100u);
    EXPECT_EQ(typesByPath(outside), expected);  // Cyrillic paths, arrays and strings included
    EXPECT_TRUE(disconnectAndWait(inside));
    EXPECT_TRUE(disconnectAndWait(outside));
}

// Wine keeps the class registrations of a killed server process until its wineserver ends, so
// every later creation of those classes fails: this test runs last, as a test of its own.
TEST_F(EngineOutOfProcess, KilledServerEndsTheConnectionWithTheSystemsReason)
{
    OPC_Connection* c =
        make(servers::simulation::CLSID_TagvistaSimulationProcess, servers::simulation::kSimulationProcessProgId);
    c->setTiming({30s, 10s, 1s});
    ASSERT_TRUE(connectAndWait(c)) << c->lastError();
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.itemTotal() > 0; }));

    const auto killed = std::chrono::steady_clock::now();
    for (DWORD id : outofprocess::serverProcesses()) {
        if (const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_DISCONNECTED, c) == 1; }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 10s);
    EXPECT_TRUE(c->idle());
    EXPECT_TRUE(c->items().empty());
    EXPECT_EQ(c->lastError().rfind(std::string("(local)|") + servers::simulation::kSimulationProcessProgId +
                                       ": GetStatus() Failed: ",
                                   0),
              0u)
        << c->lastError();
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
