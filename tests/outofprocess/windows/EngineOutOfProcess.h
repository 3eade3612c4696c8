// The engine's tests against servers in another process: the program's COM start-up, values
// of the real user registry for the server processes, and a fixture that owns a local host and
// its connections and drives the dispatcher as the window does. Test thread.
#pragma once

#include "ClientTestSupport.h"
#include "OutOfProcessSupport.h"
#include "client/CallDeadlines.h"
#include "client/Host.h"
#include "client/OPC_Connection.h"
#include "servers/test/TestServers.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

using namespace std::chrono_literals;

namespace outofprocess {

inline const std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};

// The program's COM start-up (security, the stream format), once for the process; COM itself is
// up already.
inline void startEngine()
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
        // Workers left in a hanging call come back once the hang ends, and end.
        outofprocess::endServerHangs();
        _window.pumpUntil([] { return platform::Worker::running() == 0 && deadlines::pendingCalls() == 0; }, 30s);
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

    // A connection to the test server of the fault in tagvista-testserver.exe.
    OPC_Connection* makeTest(servers::test::Fault fault, OPC_Connection::Timing timing)
    {
        _names.push_back(servers::test::processProgIdOf(fault));
        OPC_Connection* c = make(servers::test::processClsidOf(fault), _names.back().c_str());
        c->setTiming(timing);
        return c;
    }
    static std::string prefix(servers::test::Fault fault) { return "(local)|" + servers::test::processProgIdOf(fault); }
    bool waitFor(UINT message, OPC_Connection* c, int count = 1, std::chrono::milliseconds limit = 30s)
    {
        return _window.pumpUntil([&] { return _window.count(message, c) >= count; }, limit);
    }
    // How long the test servers' hangs last, in the server processes started from now on.
    void setHang(DWORD milliseconds)
    {
        _hang.reset();
        _hang = std::make_unique<ServerProcessUserValues>(servers::test::kHangKey,
                                                          std::vector<std::pair<const char*, DWORD>>{
                                                              {servers::test::kHangValue, milliseconds}});
    }

    clienttest::Window _window;
    std::unique_ptr<Host> _host;
    std::vector<std::unique_ptr<OPC_Connection>> _connections;
    std::deque<std::string> _names;
    std::unique_ptr<ServerProcessUserValues> _hang;
};

// The fixture of the tests against the test server program: each starts with no server process
// left from a test before it, so that the processes it starts are its own.
class TestServerProcessTest : public EngineOutOfProcess {
protected:
    TestServerProcessTest() { EXPECT_TRUE(waitUntilNoServerProcess()) << "a server process is left from before"; }
};

} // namespace outofprocess
