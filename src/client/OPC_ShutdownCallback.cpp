#include "OPC_ShutdownCallback.h"

#include "ErrorString.h"
#include "Logger.h"
#include "ServerWatch.h"

#include <string>
#include <utility>

OPC_ShutdownCallback::OPC_ShutdownCallback(std::shared_ptr<ServerWatch> watch) : _watch(std::move(watch)) {}

void OPC_ShutdownCallback::detach()
{
    std::lock_guard lock(_lock);
    _watch.reset();
}

HRESULT OPC_ShutdownCallback::QueryInterface(REFIID riid, void** ppvObject)
{
    if (!ppvObject) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCShutdown)) {
        *ppvObject = static_cast<IOPCShutdown*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG OPC_ShutdownCallback::AddRef()
{
    return static_cast<ULONG>(++_refs);
}

ULONG OPC_ShutdownCallback::Release()
{
    const LONG count = --_refs;
    if (count < 0) {
        // A server that releases more than it holds: the object is gone already or about to go.
        reportAssertion("_refs > 0", __FILE__, __LINE__);
        return 0;
    }
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT OPC_ShutdownCallback::ShutdownRequest(LPCWSTR szReason)
{
    std::string reason;
    try {
        if (szReason) reason = toNarrow(szReason);
    } catch (...) {
        reason.clear();  // a reason that cannot be read still ends the connection
    }
    std::shared_ptr<ServerWatch> watch;
    {
        std::lock_guard lock(_lock);
        watch = _watch;
    }
    if (watch) watch->requestShutdown(std::move(reason));
    return S_OK;
}
