// One OPC server found on one host: its connect and disconnect work on worker threads, the
// session with the server object, its address space (the connection is the root branch), the
// subscription to its data changes, and the COM start-up of the process.
#pragma once

#include "OPC_Item.h"
#include "platform/OpcDa.h"
#include "platform/Worker.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Host;
class OPC_Connection;
class OPC_DataCallback0;

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

class ConnectThread : public platform::Worker {
public:
    explicit ConnectThread(OPC_Connection* connection);
    OPC_Connection* connection() const { return _connection; }

protected:
    void execute() override;

private:
    OPC_Connection* _connection;  // not owned
};

class DisconnectThread : public platform::Worker {
public:
    explicit DisconnectThread(OPC_Connection* connection);
    OPC_Connection* connection() const { return _connection; }

protected:
    void execute() override;

private:
    OPC_Connection* _connection;  // not owned
};

class OPC_Connection : public OPC_Branch {
public:
    // The session record of a connected server: the interfaces obtained from it and the
    // client-handle table. Created by the connect work, destroyed by the disconnect work.
    struct Data {
        platform::ComPtr<IOPCServer> iServer;
        platform::ComPtr<IUnknown> group;            // the group registerItems made
        platform::ComPtr<IOPCItemMgt> itemMgt;       // the group's item management
        platform::ComPtr<IDataObject> iDataObject;   // the group's data-change subscription
        OPC_DataCallback0* callback0 = nullptr;      // the sink, holding one reference of its own
        DWORD cookie0 = 0;                           // connection number of the subscription
        // Every leaf of the tree once; an item's client handle is its index here. Not owned.
        std::vector<OPC_Item*> items;
    };

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

private:
    friend class ConnectThread;
    friend class DisconnectThread;

    enum class Request { None, Connect, Disconnect };

    // Completion steps, main thread.
    void onConnect();
    void onDisconnect();
    void startConnectWorker();
    void startDisconnectWorker();
    void runPendingRequest(bool afterConnect);

    // The work, on the worker thread.
    void innerConnect();
    void innerDisconnect();
    void logStatus();
    void readItems();
    void browse(OPC_Branch* branch, IOPCBrowseServerAddressSpace* browser, int depth);
    void browseBranches(OPC_Branch* branch, IOPCBrowseServerAddressSpace* browser, int depth);
    void browseLeaves(OPC_Branch* branch, IOPCBrowseServerAddressSpace* browser);
    // Reads the names of one enumeration into add.
    void enumerateNames(IEnumString* names, const std::function<void(std::string&&)>& add);
    void collectItems(OPC_Branch* branch);
    platform::ComPtr<IUnknown> registerItems();
    void advise0();
    void unadvise();
    void releaseServer();

    std::string prefix() const;

    Host* _ownerHost;                 // not owned
    GUID _clsid;
    std::string _lastError;
    platform::Worker* _thread = nullptr;  // the one running worker; it frees itself
    std::unique_ptr<Data> _data;
    Request _pending = Request::None;
    BrowseLimits _limits;
    std::size_t _browsedNodes = 0;    // worker only: nodes read by the running browse
    bool _browseCut = false;          // worker only: a bound ended the browse; no more descents
    std::atomic<std::uint64_t> _changesOffered{0};
};
