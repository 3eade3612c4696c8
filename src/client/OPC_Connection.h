// One OPC server found on one host: its connect and disconnect work on worker threads, the
// session with the server object, its address space (the connection is the root branch), the
// subscription to its data changes, and the COM start-up of the process.
#pragma once

#include "CallDeadlines.h"
#include "OPC_Item.h"
#include "platform/OpcDa.h"
#include "platform/Worker.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class Host;
class OPC_Connection;
class OPC_DataCallback0;
class OPC_DataCallback2;
class OPC_ShutdownCallback;
class ServerWatch;
struct ServerWork;

namespace Co {

// The process's COM start-up: the multithreaded apartment, process-wide security, and the
// registration of the data-change stream format. Constructed once, on the main thread, before
// any connection is used; raises an Exception (after logging it) when COM cannot start.
class Inner {
public:
    Inner();
    ~Inner();
    Inner(const Inner&) = delete;
    Inner& operator=(const Inner&) = delete;
};

// True once the start-up has succeeded.
bool started();
// The clipboard format number of "OPCSTMFORMATDATATIME", the only format a delivery is accepted in.
CLIPFORMAT dataTimeFormat();

} // namespace Co

// The workers share what they may still hold after their connection has given them up (see
// CallDeadlines.h): the session record and the work's state.
class ConnectThread : public platform::Worker {
public:
    explicit ConnectThread(OPC_Connection* connection);
    OPC_Connection* connection() const { return _connection; }

protected:
    void execute() override;

private:
    OPC_Connection* _connection;  // not owned
    std::shared_ptr<ServerWork> _work;
    std::shared_ptr<void> _session;
};

class DisconnectThread : public platform::Worker {
public:
    explicit DisconnectThread(OPC_Connection* connection);
    OPC_Connection* connection() const { return _connection; }

protected:
    void execute() override;

private:
    OPC_Connection* _connection;  // not owned
    std::shared_ptr<ServerWork> _work;
    std::shared_ptr<void> _session;
};

class OPC_Connection : public OPC_Branch {
public:
    // The session record of a connected server: the interfaces obtained from it and the
    // client-handle table. Created by the connect work, destroyed by the disconnect work.
    struct Data {
        Data() = default;
        Data(const Data&) = delete;
        Data& operator=(const Data&) = delete;
        ~Data();
        platform::ComPtr<IOPCServer> iServer;
        platform::ComPtr<IUnknown> group;            // the group registerItems made
        platform::ComPtr<IOPCItemMgt> itemMgt;       // the group's item management
        // The subscription: the DA 1.0 stream or the DA 2.0 callback, never both.
        platform::ComPtr<IDataObject> iDataObject;   // the group's DA 1.0 stream
        OPC_DataCallback0* callback0 = nullptr;      // its sink, holding one reference of its own
        DWORD cookie0 = 0;                           // connection number of the stream
        platform::ComPtr<IConnectionPoint> callbackPoint;  // the group's point for IOPCDataCallback
        OPC_DataCallback2* callback2 = nullptr;      // its sink, holding one reference of its own
        DWORD cookie2 = 0;
        // The shutdown notices: the server object's connection point, when it offers one.
        platform::ComPtr<IConnectionPoint> shutdownPoint;
        OPC_ShutdownCallback* shutdownSink = nullptr;  // holding one reference of its own
        DWORD shutdownCookie = 0;
        std::shared_ptr<ServerWatch> watch;
        // How the disconnect treats the server: gone (only its proxies are released) or hung
        // in a call that never came back (nothing is called or released: it is left behind).
        bool serverGone = false;
        bool serverHung = false;
        // Every leaf of the tree once; an item's client handle is its index here. Not owned.
        std::vector<OPC_Item*> items;
    };

    // Deadlines of the calls into the server and the interval of its status checks. A deadline
    // of zero or less is none; an interval of zero or less checks nothing (shutdown notices are
    // still heeded).
    struct Timing {
        std::chrono::milliseconds connectStep{30'000};
        std::chrono::milliseconds disconnectStep{10'000};
        std::chrono::milliseconds statusInterval{3'000};
    };
    // Main thread: what connections created from now on use (the program's settings).
    static void setDefaultTiming(const Timing& timing);
    static Timing defaultTiming();
    // Main thread, while idle (tests narrow them).
    void setTiming(const Timing& timing) { _timing = timing; }
    const Timing& timing() const { return _timing; }

    // Which interfaces the connect uses. Auto subscribes through the DA 1.0 stream and, when the
    // group has none or refuses the advise, through the DA 2.0 callback; it browses with the
    // DA 2.0 browser and, when the server has none, with the DA 3.0 one. The others use the one
    // named or fail.
    enum class Subscription { Auto, Stream, Callback };
    enum class Browser { Auto, Da2, Da3 };
    struct Interfaces {
        Subscription subscription = Subscription::Auto;
        Browser browser = Browser::Auto;
    };
    // Main thread, while idle.
    void setInterfaces(const Interfaces& interfaces) { _interfaces = interfaces; }
    // The client handle of the connection's group.
    static constexpr OPCHANDLE kClientGroup = 1234;

    // Bounds on what a server can make the browse do; reaching one is logged at level 2 and the
    // tree read so far stays.
    struct BrowseLimits {
        int depth = 64;                             // levels of branches below the connection
        std::size_t namesPerEnumeration = 1'000'000;
        std::size_t nodes = 2'000'000;              // branches and items in all
    };
    // Main thread, while idle (tests narrow them).
    void setBrowseLimits(const BrowseLimits& limits) { _limits = limits; }
    // A server whose Release never reaches 0 is released this many times, then left behind.
    static constexpr int kMaxServerReleases = 1000;

    // Main thread. Created idle; the host must outlive the connection.
    OPC_Connection(Host* host, const GUID& clsid, std::string name);
    // Main thread. Disconnects and waits until no work runs for the connection (running sent
    // messages and completion steps meanwhile).
    ~OPC_Connection() override;

    bool isConnection() const override { return true; }

    // Main thread only. Neither ever waits: on a busy connection the request is kept and carried
    // out when the running work has ended (the last request wins); a connect that hangs in its
    // server therefore blocks nothing but its own worker. Every disconnect() accepted while a
    // connect runs ends in exactly one WM_SERVER_DISCONNECTED, even when the connect fails.
    void connect();
    void disconnect();

    // Main thread only. Busy while a worker runs; connected when the session record exists and no
    // worker runs; idle when neither.
    bool busy() const { return _thread != nullptr; }
    bool connected() const { return _thread == nullptr && _data != nullptr; }
    bool idle() const { return _thread == nullptr && _data == nullptr; }
    // The text of the last failure of the work; empty when there was none. Main thread, when not busy.
    const std::string& lastError() const { return _lastError; }
    Host* ownerHost() const { return _ownerHost; }
    const GUID& clsid() const { return _clsid; }
    // The client-handle table; main thread, while connected (or while WM_SERVER_CONNECTED is handled).
    const std::vector<OPC_Item*>& items() const;

    // A data change for the item with this client handle: stores it and posts WM_ITEM_NEW_VALUE.
    // Callback threads; only while the subscription exists.
    void onItemNewValue(DWORD handle, const VARIANT* value, const FILETIME* timeStamp, WORD quality);
    // The item records the server has sent since the connection was made, counted by the sink a
    // block at a time (records for unknown handles included). Any thread.
    void countChangesOffered(std::uint64_t count) { _changesOffered.fetch_add(count, std::memory_order_relaxed); }
    std::uint64_t changesOffered() const { return _changesOffered.load(std::memory_order_relaxed); }
    // The number of items of the group. Callback threads; only while the subscription exists.
    std::size_t subscribedItemCount() const { return _data->items.size(); }

private:
    friend class ConnectThread;
    friend class DisconnectThread;

    enum class Request { None, Connect, Disconnect };

    // Completion steps, main thread.
    void onConnect();
    void onDisconnect();
    // A worker given up in a server call (see CallDeadlines.h): the connection goes idle with
    // the error and completes as the work would have.
    void onWorkGivenUp(bool connecting, const char* call, std::chrono::milliseconds limit);
    // The watch found the server gone, hung or shutting down: disconnects with its reason.
    void onServerLost(const std::string& text, bool gone, bool hung);
    // Main thread: stops listening to the session's sinks and watch, and lets the record go
    // (a given-up worker still holds it).
    void dropSession();
    std::shared_ptr<ServerWork> newWork(bool connecting);
    void startConnectWorker();
    void startDisconnectWorker();
    void runPendingRequest(bool afterConnect);

    // The work, on the worker thread.
    void innerConnect();
    void innerDisconnect();
    void logStatus();
    void readItems();
    // The DA 2.0 browser moves through the tree; the DA 3.0 one lists a branch by its item id.
    void browse(OPC_Branch* branch, IOPCBrowseServerAddressSpace* browser, int depth);
    void browseBranches(OPC_Branch* branch, IOPCBrowseServerAddressSpace* browser, int depth);
    void browseLeaves(OPC_Branch* branch, IOPCBrowseServerAddressSpace* browser);
    void browse3(OPC_Branch* branch, IOPCBrowse* browser, int depth);
    // Lists the elements of one kind below a branch, every continuation, into add (name, item id).
    void listElements(OPC_Branch* branch, IOPCBrowse* browser, OPCBROWSEFILTER filter,
                      const std::function<void(std::string&&, std::string&&)>& add);
    // Reads the names of one enumeration into add.
    void enumerateNames(IEnumString* names, const std::function<void(std::string&&)>& add);
    void collectItems(OPC_Branch* branch);
    platform::ComPtr<IUnknown> registerItems();
    void subscribe();
    // Each subscribes through its path; the text of the failure, empty on success.
    std::string advise0();
    std::string advise2();
    void unadvise();
    void unadvise0();
    void unadvise2();
    void adviseShutdown();
    void unadviseShutdown();
    void stopWatch();
    void releaseServer();
    template <class Interface>
    void releaseInterface(platform::ComPtr<Interface>& pointer, const char* call);
    // A call into the server under the deadline of the connect or disconnect steps.
    // freeLate frees what a call that came back too late handed out.
    template <class Call, class FreeLate = void (*)()>
    auto connectStep(const char* name, Call&& call, FreeLate&& freeLate = [] {});
    template <class Call>
    auto disconnectStep(const char* name, Call&& call);

    std::string prefix() const;

    Host* _ownerHost;                 // not owned
    GUID _clsid;
    std::string _lastError;
    platform::Worker* _thread = nullptr;  // the one running worker; it frees itself
    std::shared_ptr<Data> _data;
    std::shared_ptr<ServerWork> _work;  // the running worker's; read by it, replaced only when idle
    Timing _timing;
    std::string _endReason;           // main thread: the error a disconnect of the watch's ends with
    Request _pending = Request::None;
    BrowseLimits _limits;
    Interfaces _interfaces;
    std::size_t _browsedNodes = 0;    // worker only: nodes read by the running browse
    bool _browseCut = false;          // worker only: a bound ended the browse; no more descents
    std::atomic<std::uint64_t> _changesOffered{0};
};

template <class Call, class FreeLate>
auto OPC_Connection::connectStep(const char* name, Call&& call, FreeLate&& freeLate)
{
    return deadlines::call(_work, prefix(), name, _timing.connectStep, std::forward<Call>(call),
                           std::forward<FreeLate>(freeLate));
}

template <class Call>
auto OPC_Connection::disconnectStep(const char* name, Call&& call)
{
    return deadlines::call(_work, prefix(), name, _timing.disconnectStep, std::forward<Call>(call));
}

template <class Interface>
void OPC_Connection::releaseInterface(platform::ComPtr<Interface>& pointer, const char* call)
{
    Interface* object = pointer.detach();
    if (object) disconnectStep(call, [&] { return object->Release(); });
}
