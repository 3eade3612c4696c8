// The OPC DA server object of the kit: IOPCServer (status, groups, error texts),
// IOPCBrowseServerAddressSpace and the DA 3.0 IOPCBrowse over its address space, IOPCCommon, and
// IConnectionPointContainer with one connection point, for the clients' IOPCShutdown sinks. A server library makes one per
// CreateInstance from an identity and an address space; test servers derive from it to misbehave
// in one chosen way.
//
// Threads: every method may be called from any thread, at once. The group table has one lock;
// the browse position has its own, so each server object (and so each browse object, which is
// the server object) keeps one position for all its callers. The server holds one reference to
// each of its groups; when the server's count reaches 0 it shuts every group down (stopping
// their update threads and releasing their sinks) before it goes. Strings and records given out
// are allocated with CoTaskMemAlloc and owned by the caller. The shutdown point holds a reference
// to each advised sink until Unadvise or until the server object goes.
#pragma once

#include "servers/kit/Group.h"
#include "servers/kit/ServerCore.h"

#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace servers::kit {

// The connection point of a server object for IOPCShutdown. It belongs to the server object:
// its AddRef and Release are the server's, so a client holding the point holds the server. Its
// own QueryInterface answers IUnknown and IConnectionPoint. Any thread.
class ShutdownPoint : public IConnectionPoint {
public:
    explicit ShutdownPoint(IConnectionPointContainer& container) : _container(container) {}
    // Releases the sinks still advised.
    virtual ~ShutdownPoint();
    ShutdownPoint(const ShutdownPoint&) = delete;
    ShutdownPoint& operator=(const ShutdownPoint&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return _container.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return _container.Release(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    // Keeps the sink's IOPCShutdown (CONNECT_E_CANNOTCONNECT when it has none); cookies count up
    // from 1, skipping 0 when they wrap.
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    // Releases the sink; CONNECT_E_NOCONNECTION for a cookie not given or already taken back.
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
    // E_NOTIMPL.
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

    // Calls ShutdownRequest(reason) on every sink advised when it starts, on the calling thread,
    // without a lock: a sink may unadvise, or let go of the server, from inside. The number of
    // sinks called.
    std::size_t notify(LPCWSTR reason);

private:
    IConnectionPointContainer& _container;
    mutable std::mutex _mutex;
    std::vector<std::pair<DWORD, platform::ComPtr<IOPCShutdown>>> _sinks;
    DWORD _nextCookie = 1;
};

class Server : public platform::ComObject<IOPCServer, IOPCBrowseServerAddressSpace, IOPCBrowse, IOPCCommon,
                                          IConnectionPointContainer> {
public:
    Server(ServerIdentity identity, std::shared_ptr<const AddressSpace> space);
    ~Server() override;

    // --- IOPCServer -------------------------------------------------------------------------
    // An empty or null name gets a unique one; OPC_E_DUPLICATENAME for a name in use; a rate
    // below the server's minimum is revised up to it (OPC_S_UNSUPPORTEDRATE).
    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                       OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                                       OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                                       IUnknown** ppUnk) override;
    // E_INVALIDARG for a code without a text.
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    // The group stops at once; OPC_S_INUSE when the client still holds it (without bForce).
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    // The names of the private groups as an IEnumString; public groups are not offered.
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) override;

    // --- IOPCBrowseServerAddressSpace ---------------------------------------------------------
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    // Up (E_FAIL at the root), down into a branch of the current position (E_INVALIDARG when
    // there is none of that name), to a full branch path ("" or null is the root).
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    // OPC_BRANCH and OPC_LEAF list the names at the current position, OPC_FLAT the full ids of
    // every item below it. The name filter (see Wildcard.h; for OPC_FLAT it applies to the full
    // id) applies to all; the data-type filter (VT_EMPTY: any) and the access-rights filter (0:
    // any, else every bit asked for) to items only. The enumerator computes the names as they are
    // read (see BrowseCursors.h), so its first name costs the same in a tree of any size. S_FALSE
    // with an empty enumerator when nothing matches; OPC_E_INVALIDFILTER for a malformed filter.
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                               VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                               IEnumString** ppIEnumString) override;
    // The full id of a leaf or branch at the current position, or of a full item id or branch
    // path given as such ("" gives the current position's path); E_INVALIDARG for anything else.
    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    // E_NOTIMPL: the items have no access paths.
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override;

    // --- IOPCBrowse (DA 3.0) ------------------------------------------------------------------
    // E_NOTIMPL: the items offer no properties (Browse gives none either).
    HRESULT STDMETHODCALLTYPE GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                                            DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                                            OPCITEMPROPERTIES** ppItemProperties) override;
    // The level below a branch (szItemID its full id as GetItemID gives it; null or "" the root):
    // branches, items or both (branches first), each with its name, full id and flags, in the
    // order BrowseOPCItemIDs lists them; see BrowseElements.h. An item's id gives S_OK and no
    // elements, an unknown id OPC_E_UNKNOWNITEMID. The name filter as Wildcard.h (a malformed
    // one OPC_E_INVALIDFILTER); the vendor filter is ignored and no properties are returned,
    // whatever is asked. At most dwMaxElementsReturned elements (0: no limit of the client's)
    // and at most kMaxBrowseElements a call; while more follow, *pbMoreElements is TRUE and
    // *pszContinuationPoint a new point for the next call. The point passed in is freed in every
    // case (the client keeps only points it gets back); one this server object did not give for
    // this browse answers OPC_E_INVALIDCONTINUATIONPOINT. Every failure leaves the out
    // parameters zero.
    HRESULT STDMETHODCALLTYPE Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                                     OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                                     BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                                     DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                                     OPCBROWSEELEMENT** ppBrowseElements) override;

    // --- IOPCCommon -------------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override;
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override;
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override;

    // --- IConnectionPointContainer ----------------------------------------------------------
    // E_NOTIMPL: the one point is found by its interface.
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    // The shutdown point for IID_IOPCShutdown, CONNECT_E_NOCONNECTION for any other IID.
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // Tells every client advised on the shutdown point that the server is going, with a reason
    // (ShutdownRequest), on the calling thread; see ShutdownPoint::notify. The caller holds a
    // reference to the server, or runs before its destructor ends (a thread the destructor of a
    // derived server stops). The number of sinks called.
    std::size_t requestShutdown(LPCWSTR reason);

    // Deepest level an OPC_FLAT browse descends to, so that a tree without end still answers.
    static constexpr std::size_t kMaxFlatDepth = 64;
    // Most elements one Browse call returns, whatever the client allows: a level of a million
    // items comes in pieces a client can show while it asks for the next.
    static constexpr DWORD kMaxBrowseElements = 1000;

protected:
    // Makes the object of a new group (one reference, handed to the server's table). Test
    // servers return groups that misbehave.
    virtual Group* createGroup(std::shared_ptr<ServerCore> core, GroupSettings settings);
    // Stops every group and empties the table; the destructor calls it, and test servers whose
    // object never dies call it when the object would have.
    void shutdownGroups();
    // Makes the shutdown point, on the first FindConnectionPoint (so the object is whole by
    // then); the server owns it. Test servers return points that misbehave.
    virtual std::unique_ptr<ShutdownPoint> createShutdownPoint();
    // The shutdown point, made on first use; it lives as long as the server object.
    ShutdownPoint& shutdownPoint();

    const std::shared_ptr<ServerCore>& core() const { return _core; }
    const AddressSpace& space() const { return _core->space(); }
    // The current browse position.
    NodeId browsePosition() const;

private:
    const std::shared_ptr<ServerCore> _core;
    // Seals this object's continuation points (see BrowseElements.h).
    const std::uint64_t _browseSalt;

    std::mutex _groupsMutex;
    std::map<OPCHANDLE, platform::ComPtr<Group>> _groups;
    OPCHANDLE _nextGroupHandle = 1;

    mutable std::mutex _browseMutex;
    NodeId _position = kRootNode;

    std::mutex _commonMutex;
    LCID _locale = 0x0800;   // the system default
    platform::WideString _clientName;

    std::mutex _pointMutex;
    std::unique_ptr<ShutdownPoint> _shutdownPoint;
};

} // namespace servers::kit
