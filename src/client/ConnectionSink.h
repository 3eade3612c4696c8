// What the data-change sinks of a connection share: the reference count, and the gate through
// which deliveries reach the connection. A server calls a sink from any thread, also after the
// connection has let it go; once detached, the sink takes nothing and lives on, deaf, until the
// server releases it.
#pragma once

#include "ErrorString.h"
#include "platform/Unknown.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

class OPC_Connection;

template <class Interface>
class ConnectionSink : public Interface {
public:
    // The interface's IID, which QueryInterface answers besides IUnknown.
    explicit ConnectionSink(const IID& iid) : _iid(iid) {}

    // Connects the sink to its connection (the worker, right after creation) and detaches it
    // again (the disconnect work, after the unadvise). detach() waits for deliveries that are
    // running and makes every later one, from a careless server, a no-op.
    void setConnection(OPC_Connection* connection)
    {
        std::unique_lock<std::shared_mutex> guard(_deliveryLock);
        _connection = connection;
    }
    void detach() { setConnection(nullptr); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (!ppvObject) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, _iid)) {
            *ppvObject = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        const LONG count = ++_refs;
        if (count == 0) reportAssertion("_refs != -1", __FILE__, __LINE__);
        return static_cast<ULONG>(count);
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG count = --_refs;
        if (count < 0) {
            reportAssertion("_refs > 0", __FILE__, __LINE__);
            return 0;
        }
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

protected:
    virtual ~ConnectionSink() = default;

    // Held for the whole of one delivery: the connection it names (null once detached) stays
    // attached until the delivery ends.
    class Delivery {
    public:
        explicit Delivery(ConnectionSink& sink) : _guard(sink._deliveryLock), _connection(sink._connection) {}
        OPC_Connection* connection() const { return _connection; }

    private:
        std::shared_lock<std::shared_mutex> _guard;
        OPC_Connection* _connection;
    };

private:
    const IID _iid;
    std::atomic<LONG> _refs{0};
    // Deliveries share it; setConnection takes it alone, so the two exclude each other.
    std::shared_mutex _deliveryLock;
    OPC_Connection* _connection = nullptr;  // not owned; guarded by _deliveryLock
};
