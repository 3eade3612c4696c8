// The fixture of the connection's tests: the test servers' classes root, a host walked over it, and
// a window on the test thread. Test thread only.
#pragma once

#include "ClientTestSupport.h"
#include "client/Host.h"
#include "client/OPC_Connection.h"
#include "servers/test/TestServers.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace clienttest {

inline const std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};

// The test servers' classes root, a host walked over it, and a window on the test thread.
class ConnectionTest : public ::testing::Test {
protected:
    ConnectionTest()
    {
        _registry.setUserDword(servers::test::kHangKey, servers::test::kHangValue, 300);
        _host = std::make_unique<Host>("(local)", kLoopback);
        EXPECT_TRUE(_window.pumpUntil([&] { return !_host->busy(); }));
    }
    ~ConnectionTest() override
    {
        // Every connection must be idle before it goes; its destructor waits for that.
        _connections.clear();
        _window.pumpUntil([] { return platform::Worker::running() == 0; });
    }

    OPC_Connection* make(servers::test::Fault fault, const char* name = nullptr)
    {
        _connections.push_back(std::make_unique<OPC_Connection>(
            _host.get(), servers::test::clsidOf(fault), name ? name : servers::test::progIdOf(fault)));
        return _connections.back().get();
    }
    OPC_Connection* make(const GUID& clsid, const char* name)
    {
        _connections.push_back(std::make_unique<OPC_Connection>(_host.get(), clsid, name));
        return _connections.back().get();
    }

    // connect() and the wait for its WM_SERVER_READY.
    OPC_Connection* connected(servers::test::Fault fault, const OPC_Connection::Interfaces& interfaces = {})
    {
        OPC_Connection* c = make(fault);
        c->setInterfaces(interfaces);
        c->connect();
        EXPECT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) > 0; }));
        return c;
    }
    void disconnect(OPC_Connection* c)
    {
        const int before = _window.count(WM_SERVER_DISCONNECTED, c);
        c->disconnect();
        EXPECT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_DISCONNECTED, c) > before; }));
        EXPECT_TRUE(c->idle());
    }
    std::vector<std::string> itemPaths(OPC_Connection* c)
    {
        std::vector<std::string> paths;
        for (OPC_Item* item : c->items()) paths.push_back(item->path());
        return paths;
    }
    // Waits until every item of the connection has had a value delivered.
    bool allItemsDelivered(OPC_Connection* c)
    {
        return _window.pumpUntil([&] {
            for (OPC_Item* item : c->items())
                if (_window.itemValues(item) == 0) return false;
            return true;
        });
    }
    std::string prefix(servers::test::Fault fault) { return std::string("(local)|") + servers::test::progIdOf(fault); }

    Registry _registry;
    Window _window;
    std::unique_ptr<Host> _host;
    std::vector<std::unique_ptr<OPC_Connection>> _connections;
};

} // namespace clienttest
