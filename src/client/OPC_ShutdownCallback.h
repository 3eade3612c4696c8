// The shutdown sink of a connection: a server that is about to go calls ShutdownRequest with a
// reason, and the sink hands it to the connection's server watch, which ends the connection.
// Free-threaded; the server may call it from any thread, also after the connection has gone.
#pragma once

#include "platform/OpcDa.h"

#include <atomic>
#include <memory>
#include <mutex>

class ServerWatch;

class OPC_ShutdownCallback final : public IOPCShutdown {
public:
    explicit OPC_ShutdownCallback(std::shared_ptr<ServerWatch> watch);

    // Every later notice is ignored (the disconnect work, once it no longer listens).
    void detach();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR szReason) override;

private:
    ~OPC_ShutdownCallback() = default;

    std::atomic<LONG> _refs{0};
    std::mutex _lock;
    std::shared_ptr<ServerWatch> _watch;  // guarded by _lock; null once detached
};
