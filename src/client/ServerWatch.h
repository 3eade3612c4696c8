// The watch over a connected server. On a thread of its own it asks the server for its status
// at an interval, and it takes the server's shutdown notice (OPC_ShutdownCallback hands it
// over). A check that fails as calls to a process that has gone fail, a check that does not
// come back within its deadline, or a shutdown notice ends the watch with the reason, which its
// connection turns into a disconnect with that reason as its error.
#pragma once

#include "platform/OpcDa.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// The failures with which a call into a server's process says that the process has gone (or
// is unreachable for good): what the system's RPC answers for a dead or disconnected server.
bool serverHasGone(HRESULT hr);
// Frees what GetStatus hands out; null is nothing.
void freeStatus(OPCSERVERSTATUS* status);

class ServerWatch {
public:
    struct Loss {
        std::string text;   // the connection's error text, naming the server and the reason
        bool gone = false;  // the server's process has gone: only its proxies are released
        bool hung = false;  // a call into it never came back: nothing is called or released
    };
    // Main thread.
    using LossStep = std::function<void(const Loss&)>;

    // interval: between status checks (zero or less: none); callLimit: the deadline of a check.
    ServerWatch(std::string prefix, std::chrono::milliseconds interval, std::chrono::milliseconds callLimit);

    // Main thread, once. server must stay valid until the watch has ended (waitEnded); a watch
    // given up in its call never touches it again.
    static void start(const std::shared_ptr<ServerWatch>& watch, IOPCServer* server, LossStep onLost);
    // Any thread: the server's shutdown notice (reason may be empty). Acted on at once by a
    // running watch, or as soon as it starts.
    void requestShutdown(std::string reason);
    // Any thread: the thread ends without a loss.
    void stop();
    // Any thread but the main one: waits until the thread has ended. False when it did not
    // within limit, or was given up in a call that has not come back (the server must then be
    // left alone); true for a watch that never started.
    bool waitEnded(std::chrono::milliseconds limit);
    // Main thread: the loss is no longer wanted; the connection goes on without the watch.
    void detach() { _attached = false; }
    // What a disconnect could not release because the status check was given up in the server:
    // released on the watch's thread once its call comes back (at once if it has), never if it
    // does not. Any thread.
    void leaveBehind(std::shared_ptr<void> objects);

private:
    void run(const std::shared_ptr<ServerWatch>& self, IOPCServer* server);
    void reportLoss(const Loss& loss);

    const std::string _prefix;
    const std::chrono::milliseconds _interval;
    const std::chrono::milliseconds _callLimit;
    LossStep _onLost;        // main thread
    bool _attached = true;   // main thread

    std::mutex _lock;
    std::condition_variable _changed;
    bool _started = false;
    bool _stopRequested = false;
    bool _shutdownRequested = false;
    std::string _shutdownReason;
    bool _ended = false;
    bool _givenUp = false;
    bool _cameBack = false;            // a given-up call has returned
    std::shared_ptr<void> _leftBehind;  // guarded by _lock
};
