// One computer whose OPC servers the operator sees, and the walk of its classes registry root that
// lists them. The window creates hosts and never destroys them while the program runs.
#pragma once

#include "platform/Guid.h"
#include "platform/Worker.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class Host;

// Runs one registry walk for its host and frees itself; its completion step (main thread) clears
// the host's _thread and posts WM_HOST_CONNECTED.
class HostConnectThread : public platform::Worker {
public:
    explicit HostConnectThread(Host* host);

protected:
    void execute() override;

private:
    Host* _host;  // not owned
};

class Host {
public:
    // One server listed on the host: the key name under the classes root (the ProgID) and the
    // class identifier of its CLSID value.
    struct OpcServerInfo {
        std::string name;
        GUID clsid;
    };

    // Main thread. Stores the name exactly as given ("(local)" for this computer) and the IPv4
    // address in network byte order, then starts the walk at once.
    Host(std::string name, std::array<std::uint8_t, 4> address);
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Main thread: starts a walk on a HostConnectThread. Callers start one only while the host
    // is neither listed nor listing.
    void startConnect();
    // The walk itself, on the worker thread. Raises an Exception on failure.
    void connect();

    const std::string& name() const { return _name; }
    const std::array<std::uint8_t, 4>& address() const { return _address; }
    // Written by the walk while it runs; read on the main thread once WM_HOST_CONNECTED arrives.
    bool listed() const { return _listed.load(); }
    const std::string& lastError() const { return _lastError; }
    const std::vector<OpcServerInfo>& servers() const { return _servers; }
    // Main thread only: the walk in progress, if any.
    bool busy() const { return _thread != nullptr; }

private:
    friend class HostConnectThread;

    std::string _name;
    std::array<std::uint8_t, 4> _address;
    std::atomic<bool> _listed{false};  // read by the window while the walk runs
    std::string _lastError;
    std::vector<OpcServerInfo> _servers;
    HostConnectThread* _thread = nullptr;  // not owned: the worker frees itself
};
