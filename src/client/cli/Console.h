// The command-line tool's stand-in for the main window: it owns the host and the connection that a
// command works with, receives the five notifications through the dispatcher, and waits for the
// engine's work while keeping an eye on the stop request. Main thread only (the thread that
// constructed it, which the dispatcher takes as its main thread).
#pragma once

#include "client/Host.h"
#include "client/OPC_Connection.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace cli {

class StopSignals;

class Console {
public:
    // Binds the dispatcher to the calling thread and installs the handler, then starts COM;
    // raises Exception when COM cannot start. The stop request must outlive the console.
    explicit Console(const StopSignals& stop);
    // Disconnects and waits until no worker runs for the connection or the host, then drops what
    // is still posted, so that nothing refers to them any more.
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Walks the named computer's classes root ("(local)" for this one) and waits for the end.
    // False when the walk failed (error() has the host's text) or a stop came first (stopped()).
    bool listHost(const std::string& name);
    // After listHost; the console owns it.
    const Host& host() const { return *_host; }

    // Connects to a server of the listed host and waits until the connect has ended. False when it
    // failed or ended with an error text (error() has the connection's text; the connection may
    // still be connected then, and disconnect() ends that), or when a stop came first (stopped()).
    // interfaces chooses the subscription and the browser (the window always lets them choose
    // themselves).
    bool connect(const Host::OpcServerInfo& server, const OPC_Connection::Interfaces& interfaces = {});
    // After connect; the console owns it. Its tree and items may be read while it is connected.
    OPC_Connection& connection() { return *_connection; }

    // Takes one value notification of an item of the connection; false when no more are wanted
    // (the output is gone). Runs inside the dispatcher's handler. The item is alive and may be
    // read: the connection is connected and no worker runs for it.
    using ItemSink = std::function<bool(OPC_Item& item)>;
    // Handles notifications, each value to the sink, until the deadline passes (none: no end),
    // a stop comes, the sink wants no more, or the connection ends by itself (lost(): its server
    // went, stopped answering or shut down; error() says which). Values that arrived while the connect still ran go
    // to the sink first, in the order they came. everySecond (if any) runs once a second between
    // notifications.
    void pumpValues(const ItemSink& sink, std::optional<std::chrono::steady_clock::time_point> deadline,
                    const std::function<void()>& everySecond = nullptr);

    // Asks for the disconnect and waits until the connection is idle, whatever the stop request
    // says (a second signal is the way out of a server that hangs). From the request on, value
    // notifications are dropped unread: the disconnect worker destroys the items.
    void disconnect();

    const std::string& error() const { return _error; }
    bool lost() const { return _lost; }
    bool stopped() const;

private:
    void handle(UINT message, WPARAM wParam);
    void onItemNewValue(OPC_Item* item);
    // Runs notifications until done() or a stop; false on a stop.
    bool waitFor(const std::function<bool()>& done, bool honourStop);

    const StopSignals& _stop;
    std::unique_ptr<Co::Inner> _com;
    std::unique_ptr<Host> _host;
    std::unique_ptr<OPC_Connection> _connection;
    std::string _error;

    bool _hostListed = false;       // WM_HOST_CONNECTED came for _host
    bool _ready = false;            // WM_SERVER_READY came for _connection
    bool _closing = false;          // disconnect asked for: values are dropped from now on
    bool _lost = false;             // the connection ended without being asked to
    bool _sinkDone = false;         // the sink wanted no more
    const ItemSink* _sink = nullptr;  // while pumpValues runs
    // The items of the connection once it is ready; notifications are matched by pointer, never
    // followed, until found here.
    std::unordered_set<const OPC_Item*> _items;
    // Notifications that came before the connection was ready, oldest first (compared later).
    std::vector<OPC_Item*> _early;
};

} // namespace cli
