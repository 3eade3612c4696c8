// The data-change sink of a connection: the server calls OnDataChange with blocks in the DA 1.0
// stream format, and the sink hands each changed item to its connection. Free-threaded.
#pragma once

#include "platform/DataTransfer.h"

#include <atomic>
#include <shared_mutex>

class OPC_Connection;

class OPC_DataCallback0 final : public IAdviseSink {
public:
    OPC_DataCallback0();

    // Connects the sink to its connection (the worker, right after creation) and detaches it
    // again (the disconnect work, after DUnadvise). detach() waits for deliveries that are running
    // and makes every later one, from a careless server, a no-op.
    void setConnection(OPC_Connection* connection);
    void detach();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    void STDMETHODCALLTYPE OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) override;
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

private:
    ~OPC_DataCallback0() = default;

    std::atomic<LONG> _refs{0};
    // Deliveries share it; detach takes it alone, so the two exclude each other.
    std::shared_mutex _deliveryLock;
    OPC_Connection* _connection = nullptr;  // not owned; guarded by _deliveryLock
};
