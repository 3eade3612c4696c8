// The connection point of a group for IOPCDataCallback, the DA 2.0 subscription. It belongs to
// the group: its AddRef and Release are the group's, so a client holding the point holds the
// group, and the connections it makes are the group's (served by the group's update thread, see
// Group.h). Its own QueryInterface answers IUnknown and IConnectionPoint. Any thread.
#pragma once

#include "platform/OpcDa.h"
#include "platform/Unknown.h"

namespace servers::kit {

class Group;

class DataCallbackPoint : public IConnectionPoint {
public:
    explicit DataCallbackPoint(Group& group);
    virtual ~DataCallbackPoint() = default;
    DataCallbackPoint(const DataCallbackPoint&) = delete;
    DataCallbackPoint& operator=(const DataCallbackPoint&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    // Keeps the sink's IOPCDataCallback (CONNECT_E_CANNOTCONNECT when it has none) as the
    // group's one callback connection (CONNECT_E_ADVISELIMIT while it has one); the cookie is
    // never 0. The first delivery, of every active item, follows at once.
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    // Releases the sink; CONNECT_E_NOCONNECTION for a cookie not given or already taken back.
    // Returns after a callback running for the connection on another thread has returned; from
    // inside that callback at once.
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
    // E_NOTIMPL.
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

protected:
    Group& group() const { return _group; }

private:
    Group& _group;
};

} // namespace servers::kit
