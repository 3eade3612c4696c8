#include "servers/kit/Server.h"

#include "servers/kit/BrowseCursors.h"
#include "servers/kit/BrowseElements.h"
#include "servers/kit/ErrorTexts.h"
#include "servers/kit/StringEnumerator.h"
#include "servers/kit/ValueGenerator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

namespace servers::kit {

namespace {

constexpr LCID kLocaleNeutral = 0x0000;
constexpr LCID kLocaleUserDefault = 0x0400;
constexpr LCID kLocaleSystemDefault = 0x0800;
constexpr LCID kLocaleEnglishUs = 0x0409;

// Minutes to add to local time to get UTC, as a group's time bias counts them.
LONG localTimeBias()
{
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    FILETIME local;
    if (!FileTimeToLocalFileTime(&utc, &local)) return 0;
    const auto difference = static_cast<LONGLONG>(platform::fileTimeToU64(utc)) -
                            static_cast<LONGLONG>(platform::fileTimeToU64(local));
    return static_cast<LONG>(difference / 600000000LL);
}

// Differs between the server objects of a process, and between processes.
std::uint64_t newSalt()
{
    static std::atomic<std::uint64_t> counter{0};
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return mix64(now ^ mix64(counter.fetch_add(1) + 1));
}

// The elements in task memory, strings too, for the caller; null when out of memory.
OPCBROWSEELEMENT* taskElements(const std::vector<BrowseElement>& elements)
{
    auto* out = static_cast<OPCBROWSEELEMENT*>(CoTaskMemAlloc(sizeof(OPCBROWSEELEMENT) * elements.size()));
    if (!out) return nullptr;
    std::memset(out, 0, sizeof(OPCBROWSEELEMENT) * elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i) {
        out[i].szName = taskString(elements[i].name);
        out[i].szItemID = taskString(elements[i].itemId);
        out[i].dwFlagValue = elements[i].flags;
        // ItemProperties stay zero: S_OK and no properties.
        if (!out[i].szName || !out[i].szItemID) {
            for (std::size_t j = 0; j <= i; ++j) {
                CoTaskMemFree(out[j].szName);
                CoTaskMemFree(out[j].szItemID);
            }
            CoTaskMemFree(out);
            return nullptr;
        }
    }
    return out;
}

} // namespace

// --- the shutdown point -------------------------------------------------------------------------

ShutdownPoint::~ShutdownPoint()
{
    std::vector<std::pair<DWORD, platform::ComPtr<IOPCShutdown>>> sinks;
    {
        std::lock_guard lock(_mutex);
        sinks.swap(_sinks);
    }
    // Released outside the lock: releasing a sink runs the client's code.
}

HRESULT ShutdownPoint::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

HRESULT ShutdownPoint::GetConnectionInterface(IID* pIID)
{
    if (!pIID) return E_POINTER;
    *pIID = IID_IOPCShutdown;
    return S_OK;
}

HRESULT ShutdownPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (!ppCPC) return E_POINTER;
    _container.AddRef();
    *ppCPC = &_container;
    return S_OK;
}

HRESULT ShutdownPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (pdwCookie) *pdwCookie = 0;
    if (!pUnkSink || !pdwCookie) return E_POINTER;
    platform::ComPtr<IOPCShutdown> sink;
    // The sink is the client's object: its QueryInterface may answer anything.
    if (FAILED(pUnkSink->QueryInterface(IID_IOPCShutdown, sink.putVoid())) || !sink) return CONNECT_E_CANNOTCONNECT;
    std::lock_guard lock(_mutex);
    const DWORD cookie = _nextCookie++;
    if (_nextCookie == 0) _nextCookie = 1;
    _sinks.emplace_back(cookie, std::move(sink));
    *pdwCookie = cookie;
    return S_OK;
}

HRESULT ShutdownPoint::Unadvise(DWORD dwCookie)
{
    platform::ComPtr<IOPCShutdown> sink;
    {
        std::lock_guard lock(_mutex);
        const auto it = std::find_if(_sinks.begin(), _sinks.end(), [dwCookie](const auto& s) { return s.first == dwCookie; });
        if (it == _sinks.end()) return CONNECT_E_NOCONNECTION;
        sink = std::move(it->second);
        _sinks.erase(it);
    }
    return S_OK;
}

HRESULT ShutdownPoint::EnumConnections(IEnumConnections** ppEnum)
{
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

std::size_t ShutdownPoint::notify(LPCWSTR reason)
{
    std::vector<platform::ComPtr<IOPCShutdown>> sinks;
    {
        std::lock_guard lock(_mutex);
        for (const auto& s : _sinks) sinks.push_back(s.second);
    }
    // From here on only what is on this stack: a sink may release the last reference to the
    // server, and so this point, from inside its call.
    for (const auto& sink : sinks) sink->ShutdownRequest(reason ? reason : OLESTR(""));
    return sinks.size();
}

// --- the server object --------------------------------------------------------------------------

Server::Server(ServerIdentity identity, std::shared_ptr<const AddressSpace> space)
    : _core(std::make_shared<ServerCore>(std::move(identity), std::move(space))), _browseSalt(newSalt())
{
}

Server::~Server() { shutdownGroups(); }

void Server::shutdownGroups()
{
    std::map<OPCHANDLE, platform::ComPtr<Group>> groups;
    {
        std::lock_guard lock(_groupsMutex);
        groups.swap(_groups);
    }
    for (auto& [handle, group] : groups) {
        _core->releaseName(handle);
        group->shutdown();
    }
}

Group* Server::createGroup(std::shared_ptr<ServerCore> core, GroupSettings settings)
{
    return new Group(std::move(core), std::move(settings));
}

std::unique_ptr<ShutdownPoint> Server::createShutdownPoint()
{
    return std::make_unique<ShutdownPoint>(*static_cast<IConnectionPointContainer*>(this));
}

ShutdownPoint& Server::shutdownPoint()
{
    std::lock_guard lock(_pointMutex);
    if (!_shutdownPoint) _shutdownPoint = createShutdownPoint();
    return *_shutdownPoint;
}

std::size_t Server::requestShutdown(LPCWSTR reason)
{
    ShutdownPoint* point;
    {
        std::lock_guard lock(_pointMutex);
        point = _shutdownPoint.get();
    }
    // No point yet: nobody can have advised.
    return point ? point->notify(reason) : 0;
}

NodeId Server::browsePosition() const
{
    std::lock_guard lock(_browseMutex);
    return _position;
}

// --- IOPCServer -------------------------------------------------------------------------------

HRESULT Server::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                         LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                         DWORD* pRevisedUpdateRate, REFIID riid, IUnknown** ppUnk)
{
    if (ppUnk) *ppUnk = nullptr;
    if (!phServerGroup || !pRevisedUpdateRate || !ppUnk) return E_INVALIDARG;
    if (pPercentDeadband && !(*pPercentDeadband >= 0.0f && *pPercentDeadband <= 100.0f)) return E_INVALIDARG;

    GroupSettings settings;
    settings.active = bActive != FALSE;
    settings.updateRate = _core->reviseRate(dwRequestedUpdateRate);
    settings.clientHandle = hClientGroup;
    settings.timeBias = pTimeBias ? *pTimeBias : localTimeBias();
    settings.deadband = pPercentDeadband ? *pPercentDeadband : 0.0f;
    settings.lcid = dwLCID;

    std::lock_guard lock(_groupsMutex);
    const OPCHANDLE handle = _nextGroupHandle++;
    settings.serverHandle = handle;
    if (!szName || !*szName) {
        settings.name = _core->claimUniqueName(handle);
    } else {
        settings.name = szName;
        if (!_core->claimName(settings.name, handle)) return OPC_E_DUPLICATENAME;
    }
    const DWORD revised = settings.updateRate;
    platform::ComPtr<Group> group(createGroup(_core, std::move(settings)));
    const HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    if (FAILED(hr)) {
        _core->releaseName(handle);
        group->shutdown();
        return hr;
    }
    _groups.emplace(handle, std::move(group));
    *phServerGroup = handle;
    *pRevisedUpdateRate = revised;
    return revised != dwRequestedUpdateRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
}

HRESULT Server::GetErrorString(HRESULT dwError, LCID, LPWSTR* ppString)
{
    if (!ppString) return E_INVALIDARG;
    *ppString = nullptr;
    platform::WideString text;
    if (!errorText(dwError, text)) return E_INVALIDARG;
    *ppString = taskString(text);
    return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT Server::GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk)
{
    if (!ppUnk) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (!szName) return E_INVALIDARG;
    OPCHANDLE handle;
    if (!_core->findGroup(szName, handle)) return E_INVALIDARG;
    std::lock_guard lock(_groupsMutex);
    const auto it = _groups.find(handle);
    if (it == _groups.end()) return E_INVALIDARG;
    return it->second->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
}

HRESULT Server::GetStatus(OPCSERVERSTATUS** ppServerStatus)
{
    if (!ppServerStatus) return E_INVALIDARG;
    *ppServerStatus = nullptr;
    auto* status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
    if (!status) return E_OUTOFMEMORY;
    std::memset(status, 0, sizeof *status);
    const ServerIdentity& id = _core->identity();
    status->ftStartTime = space().clock().fileTimeAt(0);
    GetSystemTimeAsFileTime(&status->ftCurrentTime);
    status->ftLastUpdateTime = platform::u64ToFileTime(_core->lastUpdate());
    status->dwServerState = OPC_STATUS_RUNNING;
    {
        std::lock_guard lock(_groupsMutex);
        status->dwGroupCount = static_cast<DWORD>(_groups.size());
    }
    // The bandwidth is not measured; all ones is the published "unknown".
    status->dwBandWidth = 0xFFFFFFFF;
    status->wMajorVersion = id.majorVersion;
    status->wMinorVersion = id.minorVersion;
    status->wBuildNumber = id.buildNumber;
    status->szVendorInfo = taskString(id.vendorInfo);
    if (!status->szVendorInfo) {
        CoTaskMemFree(status);
        return E_OUTOFMEMORY;
    }
    *ppServerStatus = status;
    return S_OK;
}

HRESULT Server::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce)
{
    platform::ComPtr<Group> group;
    {
        std::lock_guard lock(_groupsMutex);
        const auto it = _groups.find(hServerGroup);
        if (it == _groups.end()) return E_INVALIDARG;
        group = std::move(it->second);
        _groups.erase(it);
    }
    _core->releaseName(hServerGroup);
    group->shutdown();
    // Ours and the local one: anything beyond is the client's.
    const bool inUse = group->refCount() > 1;
    return inUse && !bForce ? OPC_S_INUSE : S_OK;
}

HRESULT Server::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk)
{
    if (!ppUnk) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (dwScope < OPC_ENUM_PRIVATE_CONNECTIONS || dwScope > OPC_ENUM_ALL) return E_INVALIDARG;
    if (!IsEqualIID(riid, IID_IEnumString)) return E_NOINTERFACE;
    auto names = std::make_shared<StringEnumerator::List>();
    if (dwScope != OPC_ENUM_PUBLIC_CONNECTIONS && dwScope != OPC_ENUM_PUBLIC) {
        std::lock_guard lock(_groupsMutex);
        for (const auto& [handle, group] : _groups) names->push_back(group->name());
    }
    const bool empty = names->empty();
    *ppUnk = StringEnumerator::create(std::move(names));
    return empty ? S_FALSE : S_OK;
}

// --- IOPCBrowseServerAddressSpace -------------------------------------------------------------

HRESULT Server::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType)
{
    if (!pNameSpaceType) return E_INVALIDARG;
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
}

HRESULT Server::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString)
{
    std::lock_guard lock(_browseMutex);
    NodeId next;
    switch (dwBrowseDirection) {
    case OPC_BROWSE_UP:
        if (!space().parentOf(_position, next)) return E_FAIL;
        break;
    case OPC_BROWSE_DOWN:
        if (!szString || !*szString || !space().findBranch(_position, szString, next)) return E_INVALIDARG;
        break;
    case OPC_BROWSE_TO:
        if (!szString || !*szString) next = kRootNode;
        else if (!space().findBranchPath(szString, next)) return E_INVALIDARG;
        break;
    default:
        return E_INVALIDARG;
    }
    _position = next;
    return S_OK;
}

HRESULT Server::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                 DWORD dwAccessRightsFilter, IEnumString** ppIEnumString)
{
    if (!ppIEnumString) return E_INVALIDARG;
    *ppIEnumString = nullptr;
    auto query = std::make_shared<BrowseQuery>();
    if (szFilterCriteria && !query->filter.compile(szFilterCriteria)) return OPC_E_INVALIDFILTER;
    query->space = _core->spacePointer();
    query->node = browsePosition();
    query->type = vtDataTypeFilter;
    query->rights = dwAccessRightsFilter;
    std::unique_ptr<NameCursor> cursor;
    switch (dwBrowseFilterType) {
    case OPC_BRANCH:
        cursor = branchCursor(std::move(query));
        break;
    case OPC_LEAF:
        cursor = leafCursor(std::move(query));
        break;
    case OPC_FLAT:
        cursor = flatCursor(std::move(query), kMaxFlatDepth);
        break;
    default:
        return E_INVALIDARG;
    }
    // Finding the first name decides the answer; the cursor stays on it for the first Next.
    platform::WideString first;
    const bool empty = !cursor->current(first);
    *ppIEnumString = StringEnumerator::create(std::move(cursor));
    return empty ? S_FALSE : S_OK;
}

HRESULT Server::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID)
{
    if (!szItemID) return E_INVALIDARG;
    *szItemID = nullptr;
    if (!szItemDataID) return E_INVALIDARG;
    const platform::WideStringView name(szItemDataID);
    const AddressSpace& s = space();
    const NodeId at = browsePosition();
    platform::WideString result;
    platform::WideString here = s.branchPath(at);
    ItemRef item;
    NodeId node;
    if (name.empty()) {
        result = std::move(here);
    } else if (s.findItem(at == kRootNode ? platform::WideString(name) : here + AddressSpace::kSeparator + platform::WideString(name), item)) {
        result = s.itemId(item);
    } else if (s.findBranch(at, name, node)) {
        result = s.branchPath(node);
    } else if (s.findItem(name, item) || s.findBranchPath(name, node)) {
        result = name;
    } else {
        return E_INVALIDARG;
    }
    *szItemID = taskString(result);
    return *szItemID ? S_OK : E_OUTOFMEMORY;
}

HRESULT Server::BrowseAccessPaths(LPCWSTR, IEnumString** ppIEnumString)
{
    if (ppIEnumString) *ppIEnumString = nullptr;
    return E_NOTIMPL;
}

// --- IOPCBrowse -------------------------------------------------------------------------------

HRESULT Server::GetProperties(DWORD, LPWSTR*, BOOL, DWORD, DWORD*, OPCITEMPROPERTIES** ppItemProperties)
{
    if (ppItemProperties) *ppItemProperties = nullptr;
    return E_NOTIMPL;
}

HRESULT Server::Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                       OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR, BOOL, BOOL, DWORD, DWORD*,
                       BOOL* pbMoreElements, DWORD* pdwCount, OPCBROWSEELEMENT** ppBrowseElements)
{
    // The point passed in is ours to free, whatever the answer: the client lets go of it.
    platform::WideString point;
    if (pszContinuationPoint && *pszContinuationPoint) {
        point = *pszContinuationPoint;
        CoTaskMemFree(*pszContinuationPoint);
        *pszContinuationPoint = nullptr;
    }
    if (pbMoreElements) *pbMoreElements = FALSE;
    if (pdwCount) *pdwCount = 0;
    if (ppBrowseElements) *ppBrowseElements = nullptr;
    if (!pszContinuationPoint || !pbMoreElements || !pdwCount || !ppBrowseElements) return E_INVALIDARG;
    if (dwBrowseFilter != OPC_BROWSE_FILTER_ALL && dwBrowseFilter != OPC_BROWSE_FILTER_BRANCHES &&
        dwBrowseFilter != OPC_BROWSE_FILTER_ITEMS) {
        return E_INVALIDARG;
    }
    const platform::WideStringView nameFilter = szElementNameFilter ? szElementNameFilter : OLESTR("");
    Wildcard names;
    if (!names.compile(nameFilter)) return OPC_E_INVALIDFILTER;

    const platform::WideStringView id = szItemID ? szItemID : OLESTR("");
    NodeId node;
    if (!space().findBranchPath(id, node)) {
        ItemRef item;
        if (!space().findItem(id, item)) return OPC_E_UNKNOWNITEMID;
        // Items have no children, and so no point to go on from.
        return point.empty() ? S_OK : OPC_E_INVALIDCONTINUATIONPOINT;
    }
    const std::uint64_t key = browseKey(_browseSalt, id, dwBrowseFilter, nameFilter);
    LevelPosition from;
    if (!point.empty() && !parseContinuationPoint(point, key, from)) return OPC_E_INVALIDCONTINUATIONPOINT;

    const DWORD max = dwMaxElementsReturned == 0 ? kMaxBrowseElements : std::min(dwMaxElementsReturned, kMaxBrowseElements);
    const LevelPiece piece = browseLevel(space(), node, dwBrowseFilter, names, from, max);
    LPWSTR next = nullptr;
    if (piece.more) {
        next = taskString(continuationPoint(key, piece.next));
        if (!next) return E_OUTOFMEMORY;
    }
    OPCBROWSEELEMENT* elements = nullptr;
    if (!piece.elements.empty()) {
        elements = taskElements(piece.elements);
        if (!elements) {
            CoTaskMemFree(next);
            return E_OUTOFMEMORY;
        }
    }
    *pszContinuationPoint = next;
    *pbMoreElements = piece.more ? TRUE : FALSE;
    *pdwCount = static_cast<DWORD>(piece.elements.size());
    *ppBrowseElements = elements;
    return S_OK;
}

// --- IOPCCommon -------------------------------------------------------------------------------

HRESULT Server::SetLocaleID(LCID dwLcid)
{
    if (dwLcid != kLocaleNeutral && dwLcid != kLocaleUserDefault && dwLcid != kLocaleSystemDefault &&
        dwLcid != kLocaleEnglishUs) {
        return E_INVALIDARG;
    }
    std::lock_guard lock(_commonMutex);
    _locale = dwLcid;
    return S_OK;
}

HRESULT Server::GetLocaleID(LCID* pdwLcid)
{
    if (!pdwLcid) return E_INVALIDARG;
    std::lock_guard lock(_commonMutex);
    *pdwLcid = _locale;
    return S_OK;
}

HRESULT Server::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid)
{
    if (!pdwCount || !pdwLcid) return E_INVALIDARG;
    constexpr LCID kLocales[] = {kLocaleSystemDefault, kLocaleUserDefault, kLocaleNeutral, kLocaleEnglishUs};
    *pdwCount = 0;
    *pdwLcid = static_cast<LCID*>(CoTaskMemAlloc(sizeof kLocales));
    if (!*pdwLcid) return E_OUTOFMEMORY;
    std::memcpy(*pdwLcid, kLocales, sizeof kLocales);
    *pdwCount = static_cast<DWORD>(std::size(kLocales));
    return S_OK;
}

HRESULT Server::GetErrorString(HRESULT dwError, LPWSTR* ppString)
{
    LCID locale;
    {
        std::lock_guard lock(_commonMutex);
        locale = _locale;
    }
    return GetErrorString(dwError, locale, ppString);
}

HRESULT Server::SetClientName(LPCWSTR szName)
{
    std::lock_guard lock(_commonMutex);
    _clientName = szName ? szName : OLESTR("");
    return S_OK;
}

// --- IConnectionPointContainer ---------------------------------------------------------------

HRESULT Server::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

HRESULT Server::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (!IsEqualIID(riid, IID_IOPCShutdown)) return CONNECT_E_NOCONNECTION;
    ShutdownPoint& point = shutdownPoint();
    point.AddRef();
    *ppCP = &point;
    return S_OK;
}

} // namespace servers::kit
