// A group of a server object: the items a client has added (IOPCItemMgt), the group's own state
// (IOPCGroupStateMgt), the DA 1.0 subscription (IDataObject::DAdvise) and the DA 2.0 one (the
// IOPCDataCallback connection point of IConnectionPointContainer), both served by one update
// thread per group that calls the connected sinks.
//
// Update thread: started by the first advise of either kind. At every update period (the revised
// rate) it compares each active item's change stamp with the one last sent and sends the changed
// items; right after an advise (and after the group is activated) the connection gets every
// active item. Nothing is sent when nothing changed, nor by an inactive group. A stream block is
// allocated in global memory, handed to the sink and freed when the sink returns; a callback gets
// arrays that live for the duration of the call. A group takes a stream advise per format and
// one callback connection, at once if the client wants.
//
// Threads and lifetime: every COM method may be called from any thread, including from inside
// a callback on the update thread. The group's state has one lock, never held while a sink is
// called. DUnadvise and the point's Unadvise return only after a callback running for that
// connection on another thread has returned; from inside the callback they return at once. The
// update thread holds a reference to the group while it runs, so the group outlives its
// callbacks. The server object holds a reference to each of its groups and calls shutdown() when
// the group is removed or the server goes: that stops the thread (waiting for a running callback
// unless called from inside it) and releases the sinks. Sinks are referenced from the advise
// until the unadvise or shutdown.
#pragma once

#include "servers/kit/BlockWriter.h"
#include "servers/kit/DataCallbackPoint.h"
#include "servers/kit/ServerCore.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace servers::kit {

struct GroupSettings {
    platform::WideString name;
    bool active = true;
    DWORD updateRate = 1000;   // already revised
    OPCHANDLE clientHandle = 0;
    OPCHANDLE serverHandle = 0;
    LONG timeBias = 0;
    FLOAT deadband = 0;
    LCID lcid = 0;
};

// Whether an item of type canonical can be delivered as requested (VT_EMPTY: as it is).
bool canDeliver(VARTYPE canonical, VARTYPE requested);

// The five arrays of one OnDataChange, made from the items of an update: client handles, values,
// qualities, time stamps and errors (S_OK). The values are the items' own VARIANTs copied
// shallowly: borrowed for the call, never cleared. Entries past the items, up to length, are zero
// (values VT_EMPTY).
struct CallbackArrays {
    explicit CallbackArrays(std::span<const BlockItem> items, std::size_t length = 0);

    // S_OK when every quality is good, else S_FALSE.
    HRESULT masterQuality() const;
    // S_OK when every error is S_OK, else S_FALSE.
    HRESULT masterError() const;

    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> timeStamps;
    std::vector<HRESULT> errors;
};

class Group : public platform::ComObject<IOPCItemMgt, IOPCGroupStateMgt, IDataObject, IConnectionPointContainer> {
public:
    Group(std::shared_ptr<ServerCore> core, GroupSettings settings);
    ~Group() override;

    // Stops the update thread and releases the sinks; the group takes no more advises.
    // Idempotent; any thread.
    void shutdown();

    OPCHANDLE serverHandle() const { return _serverHandle; }
    platform::WideString name() const;
    std::size_t itemCount() const;

    // --- IOPCItemMgt ------------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                       HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                            OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                             HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                               HRESULT** ppErrors) override;
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                           HRESULT** ppErrors) override;
    // E_NOTIMPL: the item attribute enumerator is not offered.
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, IUnknown** ppUnk) override;

    // --- IOPCGroupStateMgt ------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                       FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                       OPCHANDLE* phServerGroup) override;
    HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                                       LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                       OPCHANDLE* phClientGroup) override;
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) override;
    // E_NOTIMPL.
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;

    // --- IDataObject: only the advise pair is served; the rest answers E_NOTIMPL ---------------
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* pformatetc) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
    // "OPCSTMFORMATDATATIME" or "OPCSTMFORMATDATA" on TYMED_HGLOBAL, one advise per format
    // (CONNECT_E_ADVISELIMIT for a second); DV_E_FORMATETC for anything else. The connection
    // number means nothing outside this group.
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                                      DWORD* pdwConnection) override;
    // OLE_E_NOCONNECTION for a number this group did not give or has already taken back.
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD dwConnection) override;
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

    // --- IConnectionPointContainer ----------------------------------------------------------
    // E_NOTIMPL: the one point is found by its interface.
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    // The data callback point for IID_IOPCDataCallback, CONNECT_E_NOCONNECTION for any other IID.
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

protected:
    // One block about to go to a sink, for deliver().
    struct Outgoing {
        IAdviseSink* sink;          // referenced for the duration of deliver()
        CLIPFORMAT format;
        BlockWriter::Format layout;
        OPCHANDLE clientGroup;
        std::span<const BlockItem> items;
    };
    // Hands one block to a sink on the update thread, without the group's lock. The default
    // writes the block into global memory, calls OnDataChange and frees the block. Test servers
    // override it to send damaged blocks.
    virtual void deliver(const Outgoing& out);
    // Calls the sink with a medium the caller owns (and frees afterwards).
    static void callSink(IAdviseSink* sink, CLIPFORMAT format, HGLOBAL block);

    // One update about to go to a callback sink, for deliverCallback().
    struct CallbackOutgoing {
        IOPCDataCallback* sink;       // referenced for the duration of deliverCallback()
        OPCHANDLE clientGroup;
        std::span<const BlockItem> items;
        std::span<const ItemRef> refs;  // the items in the address space, in the same order
    };
    // Hands one update to a callback sink on the update thread, without the group's lock. The
    // default calls OnDataChange with the arrays of the items (transaction 0, the masters as the
    // arrays give them). Test servers override it to send damaged calls.
    virtual void deliverCallback(const CallbackOutgoing& out);

    // Makes the data callback point, on the first FindConnectionPoint (so the object is whole by
    // then); the group owns it. Test servers return points that misbehave.
    virtual std::unique_ptr<DataCallbackPoint> createCallbackPoint();

    // Any connection, of either kind, with this number.
    bool hasConnection(DWORD connection) const;
    const std::shared_ptr<ServerCore>& core() const { return _core; }

private:
    friend class DataCallbackPoint;

    // 40 bytes an item; the server handle is the item's place in _items plus one, so a million
    // items need no index beside them. Removed items stay as holes (live false).
    struct Item {
        ItemRef ref;
        OPCHANDLE clientHandle;
        VARTYPE canonicalType;
        VARTYPE requestedType;
        DWORD accessRights;
        bool active;
        bool live;
        std::uint64_t lastStamp;
    };
    // A stream connection has a sink and a format; a callback connection has a callback.
    struct Connection {
        DWORD id;
        CLIPFORMAT format;
        platform::ComPtr<IAdviseSink> sink;
        platform::ComPtr<IOPCDataCallback> callback;
        bool prime;
    };

    // Checks one item definition; on success fills the result (server handle excepted).
    HRESULT validate(const OPCITEMDEF& def, ItemRef& ref, OPCITEMRESULT& result) const;
    Item* findItem(OPCHANDLE serverHandle);
    Connection* findConnection(DWORD id);
    // Adds a connection (its id given here) and starts the update thread; under the lock.
    HRESULT addConnection(Connection connection, DWORD& id);
    // Takes a connection of the kind away and waits for its running callback (see DUnadvise);
    // false when there is none of that number and kind. The sinks are moved out, to be released
    // after the lock.
    bool removeConnection(DWORD id, bool callback, Connection& removed);
    // The point's: the callback connection.
    HRESULT adviseCallback(platform::ComPtr<IOPCDataCallback> sink, DWORD& cookie);
    HRESULT unadviseCallback(DWORD cookie);
    // Per-handle operations share this frame: the error array, S_FALSE when any item failed.
    template <class Op>
    HRESULT forEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT** ppErrors, Op op);

    void startThread();
    void run();
    void runCycle(std::unique_lock<std::mutex>& lock);

    const std::shared_ptr<ServerCore> _core;
    const OPCHANDLE _serverHandle;

    mutable std::mutex _mutex;
    std::condition_variable _wake;   // the update thread: something to do or a new schedule
    std::condition_variable _idle;   // DUnadvise: a callback has returned
    GroupSettings _settings;
    std::vector<Item> _items;
    std::size_t _liveItems = 0;
    std::vector<Connection> _connections;
    DWORD _nextConnection;
    bool _rescheduled = false;
    bool _shutdown = false;
    bool _delivering = false;
    DWORD _deliveringConnection = 0;
    std::thread::id _deliveringThread;
    std::thread _thread;

    std::mutex _pointMutex;
    std::unique_ptr<DataCallbackPoint> _callbackPoint;
};

} // namespace servers::kit
