// The OPC DA server object of the kit: IOPCServer (status, groups, error texts),
// IOPCBrowseServerAddressSpace over its address space, and IOPCCommon. A server library makes
// one per CreateInstance from an identity and an address space; test servers derive from it to
// misbehave in one chosen way.
//
// Threads: every method may be called from any thread, at once. The group table has one lock;
// the browse position has its own, so each server object (and so each browse object, which is
// the server object) keeps one position for all its callers. The server holds one reference to
// each of its groups; when the server's count reaches 0 it shuts every group down (stopping
// their update threads and releasing their sinks) before it goes. Strings and records given out
// are allocated with CoTaskMemAlloc and owned by the caller.
#pragma once

#include "servers/kit/Group.h"
#include "servers/kit/ServerCore.h"

#include <map>
#include <memory>
#include <mutex>

namespace servers::kit {

class Server : public platform::ComObject<IOPCServer, IOPCBrowseServerAddressSpace, IOPCCommon> {
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

    // --- IOPCCommon -------------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override;
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override;
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override;

    // Deepest level an OPC_FLAT browse descends to, so that a tree without end still answers.
    static constexpr std::size_t kMaxFlatDepth = 64;

protected:
    // Makes the object of a new group (one reference, handed to the server's table). Test
    // servers return groups that misbehave.
    virtual Group* createGroup(std::shared_ptr<ServerCore> core, GroupSettings settings);
    // Stops every group and empties the table; the destructor calls it, and test servers whose
    // object never dies call it when the object would have.
    void shutdownGroups();

    const std::shared_ptr<ServerCore>& core() const { return _core; }
    const AddressSpace& space() const { return _core->space(); }
    // The current browse position.
    NodeId browsePosition() const;

private:
    const std::shared_ptr<ServerCore> _core;

    std::mutex _groupsMutex;
    std::map<OPCHANDLE, platform::ComPtr<Group>> _groups;
    OPCHANDLE _nextGroupHandle = 1;

    mutable std::mutex _browseMutex;
    NodeId _position = kRootNode;

    std::mutex _commonMutex;
    LCID _locale = 0x0800;   // the system default
    platform::WideString _clientName;
};

} // namespace servers::kit
