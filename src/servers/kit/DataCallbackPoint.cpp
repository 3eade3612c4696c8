#include "servers/kit/DataCallbackPoint.h"

#include "servers/kit/Group.h"

namespace servers::kit {

DataCallbackPoint::DataCallbackPoint(Group& group) : _group(group) {}

HRESULT DataCallbackPoint::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

ULONG DataCallbackPoint::AddRef() { return _group.AddRef(); }

ULONG DataCallbackPoint::Release() { return _group.Release(); }

HRESULT DataCallbackPoint::GetConnectionInterface(IID* pIID)
{
    if (!pIID) return E_POINTER;
    *pIID = IID_IOPCDataCallback;
    return S_OK;
}

HRESULT DataCallbackPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (!ppCPC) return E_POINTER;
    auto* container = static_cast<IConnectionPointContainer*>(&_group);
    container->AddRef();
    *ppCPC = container;
    return S_OK;
}

HRESULT DataCallbackPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (pdwCookie) *pdwCookie = 0;
    if (!pUnkSink || !pdwCookie) return E_POINTER;
    platform::ComPtr<IOPCDataCallback> sink;
    // The sink is the client's object: its QueryInterface may answer anything.
    if (FAILED(pUnkSink->QueryInterface(IID_IOPCDataCallback, sink.putVoid())) || !sink) return CONNECT_E_CANNOTCONNECT;
    return _group.adviseCallback(std::move(sink), *pdwCookie);
}

HRESULT DataCallbackPoint::Unadvise(DWORD dwCookie) { return _group.unadviseCallback(dwCookie); }

HRESULT DataCallbackPoint::EnumConnections(IEnumConnections** ppEnum)
{
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

} // namespace servers::kit
