#include "servers/kit/Group.h"

#include "servers/kit/StringEnumerator.h"
#include "servers/kit/ValueGenerator.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace servers::kit {

namespace {

bool isNumberType(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BOOL: case VT_DECIMAL:
        return true;
    default:
        return false;
    }
}

template <class T>
T* taskArray(DWORD count)
{
    void* p = CoTaskMemAlloc(sizeof(T) * std::max<DWORD>(count, 1));
    if (p) std::memset(p, 0, sizeof(T) * std::max<DWORD>(count, 1));
    return static_cast<T*>(p);
}

// The values of one update, kept until every block of it has been handed over.
struct Sample {
    ItemRef ref;
    OPCHANDLE clientHandle;
    WORD quality;
    FILETIME timeStamp;
    VARIANT value;
    bool changed;
};

class SampleSet {
public:
    ~SampleSet()
    {
        for (Sample& s : samples) VariantClear(&s.value);
    }
    std::vector<Sample> samples;
};

} // namespace

bool canDeliver(VARTYPE canonical, VARTYPE requested)
{
    if (requested == VT_EMPTY || requested == canonical) return true;
    if ((canonical | requested) & (VT_ARRAY | VT_BYREF | VT_VECTOR)) return false;
    if (isNumberType(canonical)) return isNumberType(requested) || requested == VT_BSTR;
    return false;
}

CallbackArrays::CallbackArrays(std::span<const BlockItem> items, std::size_t length)
{
    const std::size_t n = std::max(length, items.size());
    handles.assign(n, 0);
    values.resize(n);
    for (VARIANT& v : values) VariantInit(&v);
    qualities.assign(n, 0);
    timeStamps.assign(n, FILETIME{});
    errors.assign(n, S_OK);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const BlockItem& item = items[i];
        handles[i] = item.hClient;
        if (item.value) values[i] = *item.value;
        qualities[i] = item.quality;
        timeStamps[i] = item.timeStamp;
    }
}

HRESULT CallbackArrays::masterQuality() const
{
    const bool allGood = std::all_of(qualities.begin(), qualities.end(),
                                     [](WORD q) { return (q & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD; });
    return allGood ? S_OK : S_FALSE;
}

HRESULT CallbackArrays::masterError() const
{
    return std::all_of(errors.begin(), errors.end(), [](HRESULT e) { return e == S_OK; }) ? S_OK : S_FALSE;
}

Group::Group(std::shared_ptr<ServerCore> core, GroupSettings settings)
    : _core(std::move(core)), _serverHandle(settings.serverHandle), _settings(std::move(settings)),
      _nextConnection(static_cast<DWORD>(mix64(_serverHandle)) | 1u)
{
}

Group::~Group()
{
    shutdown();
    if (_thread.joinable()) {
        // The last reference can go on the update thread itself, when the thread lets go of its
        // own; it has nothing left to do then but return.
        if (_thread.get_id() == std::this_thread::get_id()) _thread.detach();
        else _thread.join();
    }
}

void Group::shutdown()
{
    std::vector<Connection> dropped;
    std::thread running;
    {
        std::lock_guard lock(_mutex);
        _shutdown = true;
        dropped.swap(_connections);
        if (_thread.joinable() && _thread.get_id() != std::this_thread::get_id()) running = std::move(_thread);
    }
    _wake.notify_all();
    if (running.joinable()) running.join();
    // The sinks go last, outside the lock: releasing one may run the client's code.
    dropped.clear();
}

platform::WideString Group::name() const
{
    std::lock_guard lock(_mutex);
    return _settings.name;
}

std::size_t Group::itemCount() const
{
    std::lock_guard lock(_mutex);
    return _liveItems;
}

// --- items ------------------------------------------------------------------------------------

HRESULT Group::validate(const OPCITEMDEF& def, ItemRef& ref, OPCITEMRESULT& result) const
{
    if (!def.szItemID || !*def.szItemID) return OPC_E_INVALIDITEMID;
    const AddressSpace& space = _core->space();
    if (!space.findItem(platform::WideStringView(def.szItemID), ref)) return OPC_E_UNKNOWNITEMID;
    const ItemTraits traits = space.traits(ref);
    if (!canDeliver(traits.canonicalType, def.vtRequestedDataType)) return OPC_E_BADTYPE;
    result.vtCanonicalDataType = traits.canonicalType;
    result.dwAccessRights = traits.accessRights;
    result.dwBlobSize = 0;
    result.pBlob = nullptr;
    return S_OK;
}

Group::Item* Group::findItem(OPCHANDLE serverHandle)
{
    if (serverHandle == 0 || serverHandle > _items.size()) return nullptr;
    Item& item = _items[serverHandle - 1];
    return item.live ? &item : nullptr;
}

HRESULT Group::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors)
{
    if (!ppAddResults || !ppErrors) return E_INVALIDARG;
    *ppAddResults = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || !pItemArray) return E_INVALIDARG;
    OPCITEMRESULT* results = taskArray<OPCITEMRESULT>(dwCount);
    HRESULT* errors = taskArray<HRESULT>(dwCount);
    if (!results || !errors) {
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return E_OUTOFMEMORY;
    }
    bool allGood = true;
    {
        std::lock_guard lock(_mutex);
        for (DWORD i = 0; i < dwCount; ++i) {
            const OPCITEMDEF& def = pItemArray[i];
            ItemRef ref = 0;
            errors[i] = validate(def, ref, results[i]);
            if (FAILED(errors[i])) {
                results[i] = OPCITEMRESULT{};
                allGood = false;
                continue;
            }
            if (_items.size() >= 0xFFFFFFFEu) {
                errors[i] = E_OUTOFMEMORY;
                results[i] = OPCITEMRESULT{};
                allGood = false;
                continue;
            }
            _items.push_back(Item{ref, def.hClient, results[i].vtCanonicalDataType, def.vtRequestedDataType,
                                  results[i].dwAccessRights, def.bActive != FALSE, true, kNeverStamp});
            ++_liveItems;
            results[i].hServer = static_cast<OPCHANDLE>(_items.size());
        }
    }
    *ppAddResults = results;
    *ppErrors = errors;
    return allGood ? S_OK : S_FALSE;
}

HRESULT Group::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL, OPCITEMRESULT** ppValidationResults,
                             HRESULT** ppErrors)
{
    if (!ppValidationResults || !ppErrors) return E_INVALIDARG;
    *ppValidationResults = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || !pItemArray) return E_INVALIDARG;
    OPCITEMRESULT* results = taskArray<OPCITEMRESULT>(dwCount);
    HRESULT* errors = taskArray<HRESULT>(dwCount);
    if (!results || !errors) {
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return E_OUTOFMEMORY;
    }
    bool allGood = true;
    for (DWORD i = 0; i < dwCount; ++i) {
        ItemRef ref = 0;
        errors[i] = validate(pItemArray[i], ref, results[i]);
        if (FAILED(errors[i])) {
            results[i] = OPCITEMRESULT{};
            allGood = false;
        }
    }
    *ppValidationResults = results;
    *ppErrors = errors;
    return allGood ? S_OK : S_FALSE;
}

template <class Op>
HRESULT Group::forEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT** ppErrors, Op op)
{
    if (!ppErrors) return E_INVALIDARG;
    *ppErrors = nullptr;
    if (count == 0 || !handles) return E_INVALIDARG;
    HRESULT* errors = taskArray<HRESULT>(count);
    if (!errors) return E_OUTOFMEMORY;
    bool allGood = true;
    {
        std::lock_guard lock(_mutex);
        for (DWORD i = 0; i < count; ++i) {
            errors[i] = op(i, handles[i]);
            if (FAILED(errors[i])) allGood = false;
        }
    }
    *ppErrors = errors;
    return allGood ? S_OK : S_FALSE;
}

HRESULT Group::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return forEachHandle(dwCount, phServer, ppErrors, [this](DWORD, OPCHANDLE h) {
        Item* item = findItem(h);
        if (!item) return OPC_E_INVALIDHANDLE;
        item->live = false;
        item->active = false;
        --_liveItems;
        return S_OK;
    });
}

HRESULT Group::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors)
{
    const bool active = bActive != FALSE;
    return forEachHandle(dwCount, phServer, ppErrors, [this, active](DWORD, OPCHANDLE h) {
        Item* item = findItem(h);
        if (!item) return OPC_E_INVALIDHANDLE;
        // An item that comes back sends its value with the next update, changed or not.
        if (active && !item->active) item->lastStamp = kNeverStamp;
        item->active = active;
        return S_OK;
    });
}

HRESULT Group::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors)
{
    if (!phClient) {
        if (ppErrors) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return forEachHandle(dwCount, phServer, ppErrors, [this, phClient](DWORD i, OPCHANDLE h) {
        Item* item = findItem(h);
        if (!item) return OPC_E_INVALIDHANDLE;
        item->clientHandle = phClient[i];
        return S_OK;
    });
}

HRESULT Group::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes, HRESULT** ppErrors)
{
    if (!pRequestedDatatypes) {
        if (ppErrors) *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return forEachHandle(dwCount, phServer, ppErrors, [this, pRequestedDatatypes](DWORD i, OPCHANDLE h) {
        Item* item = findItem(h);
        if (!item) return OPC_E_INVALIDHANDLE;
        if (!canDeliver(item->canonicalType, pRequestedDatatypes[i])) return OPC_E_BADTYPE;
        item->requestedType = pRequestedDatatypes[i];
        item->lastStamp = kNeverStamp;
        return S_OK;
    });
}

HRESULT Group::CreateEnumerator(REFIID, IUnknown** ppUnk)
{
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
}

// --- group state --------------------------------------------------------------------------------

HRESULT Group::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                        FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup)
{
    std::lock_guard lock(_mutex);
    if (ppName) {
        *ppName = taskString(_settings.name);
        if (!*ppName) return E_OUTOFMEMORY;
    }
    if (pUpdateRate) *pUpdateRate = _settings.updateRate;
    if (pActive) *pActive = _settings.active ? TRUE : FALSE;
    if (pTimeBias) *pTimeBias = _settings.timeBias;
    if (pPercentDeadband) *pPercentDeadband = _settings.deadband;
    if (pLCID) *pLCID = _settings.lcid;
    if (phClientGroup) *phClientGroup = _settings.clientHandle;
    if (phServerGroup) *phServerGroup = _serverHandle;
    return S_OK;
}

HRESULT Group::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                        FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup)
{
    if (pPercentDeadband && !(*pPercentDeadband >= 0.0f && *pPercentDeadband <= 100.0f)) return E_INVALIDARG;
    HRESULT hr = S_OK;
    {
        std::lock_guard lock(_mutex);
        if (pRequestedUpdateRate) {
            const DWORD revised = _core->reviseRate(*pRequestedUpdateRate);
            if (revised != *pRequestedUpdateRate) hr = OPC_S_UNSUPPORTEDRATE;
            if (revised != _settings.updateRate) {
                _settings.updateRate = revised;
                _rescheduled = true;
            }
        }
        if (pRevisedUpdateRate) *pRevisedUpdateRate = _settings.updateRate;
        if (pActive) {
            const bool active = *pActive != FALSE;
            // A group that becomes active sends every active item at once.
            if (active && !_settings.active) {
                for (Connection& c : _connections) c.prime = true;
            }
            _settings.active = active;
        }
        if (pTimeBias) _settings.timeBias = *pTimeBias;
        if (pPercentDeadband) _settings.deadband = *pPercentDeadband;
        if (pLCID) _settings.lcid = *pLCID;
        if (phClientGroup) _settings.clientHandle = *phClientGroup;
    }
    _wake.notify_all();
    return hr;
}

HRESULT Group::SetName(LPCWSTR szName)
{
    if (!szName || !*szName) return E_INVALIDARG;
    const platform::WideString name(szName);
    std::lock_guard lock(_mutex);
    if (name == _settings.name) return S_OK;
    if (!_shutdown && !_core->renameGroup(_serverHandle, name)) return OPC_E_DUPLICATENAME;
    _settings.name = name;
    return S_OK;
}

HRESULT Group::CloneGroup(LPCWSTR, REFIID, IUnknown** ppUnk)
{
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
}

// --- data object ----------------------------------------------------------------------------

HRESULT Group::GetData(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
HRESULT Group::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
HRESULT Group::QueryGetData(FORMATETC*) { return E_NOTIMPL; }
HRESULT Group::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) { return E_NOTIMPL; }
HRESULT Group::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
HRESULT Group::EnumFormatEtc(DWORD, IEnumFORMATETC** ppenumFormatEtc)
{
    if (ppenumFormatEtc) *ppenumFormatEtc = nullptr;
    return E_NOTIMPL;
}
HRESULT Group::EnumDAdvise(IEnumSTATDATA** ppenumAdvise)
{
    if (ppenumAdvise) *ppenumAdvise = nullptr;
    return E_NOTIMPL;
}

Group::Connection* Group::findConnection(DWORD id)
{
    for (Connection& c : _connections) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

bool Group::hasConnection(DWORD connection) const
{
    std::lock_guard lock(_mutex);
    return std::any_of(_connections.begin(), _connections.end(),
                       [connection](const Connection& c) { return c.id == connection; });
}

HRESULT Group::DAdvise(FORMATETC* pformatetc, DWORD, IAdviseSink* pAdvSink, DWORD* pdwConnection)
{
    if (pdwConnection) *pdwConnection = 0;
    if (!pformatetc || !pAdvSink || !pdwConnection) return E_INVALIDARG;
    const auto dataTime = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(OPCSTMFORMATDATATIME));
    const auto data = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(OPCSTMFORMATDATA));
    if (!(pformatetc->tymed & TYMED_HGLOBAL)) return DV_E_FORMATETC;
    if (pformatetc->cfFormat != dataTime && pformatetc->cfFormat != data) return DV_E_FORMATETC;
    std::lock_guard lock(_mutex);
    for (const Connection& c : _connections) {
        if (!c.callback && c.format == pformatetc->cfFormat) return CONNECT_E_ADVISELIMIT;
    }
    return addConnection(Connection{0, pformatetc->cfFormat, platform::ComPtr<IAdviseSink>(pAdvSink), nullptr, true},
                         *pdwConnection);
}

HRESULT Group::DUnadvise(DWORD dwConnection)
{
    Connection removed{};
    if (!removeConnection(dwConnection, false, removed)) return OLE_E_NOCONNECTION;
    return S_OK;
}

HRESULT Group::adviseCallback(platform::ComPtr<IOPCDataCallback> sink, DWORD& cookie)
{
    cookie = 0;
    std::lock_guard lock(_mutex);
    for (const Connection& c : _connections) {
        if (c.callback) return CONNECT_E_ADVISELIMIT;
    }
    return addConnection(Connection{0, 0, nullptr, std::move(sink), true}, cookie);
}

HRESULT Group::unadviseCallback(DWORD cookie)
{
    Connection removed{};
    if (!removeConnection(cookie, true, removed)) return CONNECT_E_NOCONNECTION;
    return S_OK;
}

HRESULT Group::addConnection(Connection connection, DWORD& id)
{
    if (_shutdown) return E_FAIL;
    connection.id = _nextConnection++;
    if (_nextConnection == 0) _nextConnection = 1;
    _connections.push_back(std::move(connection));
    try {
        startThread();
    } catch (const std::system_error&) {
        _connections.pop_back();
        return E_OUTOFMEMORY;
    }
    id = _connections.back().id;
    _wake.notify_all();
    return S_OK;
}

bool Group::removeConnection(DWORD id, bool callback, Connection& removed)
{
    std::unique_lock lock(_mutex);
    const auto it = std::find_if(_connections.begin(), _connections.end(), [&](const Connection& c) {
        return c.id == id && static_cast<bool>(c.callback) == callback;
    });
    if (it == _connections.end()) return false;
    removed = std::move(*it);
    _connections.erase(it);
    // A callback running for this connection on the update thread finishes first; from inside
    // that callback there is nothing to wait for.
    if (_deliveringThread != std::this_thread::get_id()) {
        _idle.wait(lock, [&] { return !(_delivering && _deliveringConnection == id); });
    }
    return true;
}

// --- connection point container -------------------------------------------------------------

std::unique_ptr<DataCallbackPoint> Group::createCallbackPoint()
{
    return std::make_unique<DataCallbackPoint>(*this);
}

HRESULT Group::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
}

HRESULT Group::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (!IsEqualIID(riid, IID_IOPCDataCallback)) return CONNECT_E_NOCONNECTION;
    DataCallbackPoint* point;
    {
        std::lock_guard lock(_pointMutex);
        if (!_callbackPoint) _callbackPoint = createCallbackPoint();
        point = _callbackPoint.get();
    }
    point->AddRef();
    *ppCP = point;
    return S_OK;
}

// --- update thread ----------------------------------------------------------------------------

void Group::startThread()
{
    if (_thread.joinable()) return;
    platform::ComPtr<Group> self(this);
    _thread = std::thread([self]() mutable {
        self->run();
        // Possibly the last reference: nothing of the group may be touched after this.
        self.reset();
    });
}

void Group::run()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(_mutex);
    auto next = Clock::now();
    const auto primeWanted = [this] {
        return std::any_of(_connections.begin(), _connections.end(), [](const Connection& c) { return c.prime; });
    };
    while (!_shutdown) {
        const auto wanted = [&] { return _shutdown || _rescheduled || primeWanted(); };
        // Without a connection there is nothing to time until the next DAdvise.
        if (_connections.empty()) _wake.wait(lock, wanted);
        else _wake.wait_until(lock, next, wanted);
        if (_shutdown) break;
        const auto now = Clock::now();
        const auto period = std::chrono::milliseconds(_settings.updateRate);
        if (_rescheduled) {
            _rescheduled = false;
            next = std::min(next, now + period);
        }
        const bool due = now >= next;
        if (!due && !primeWanted()) continue;
        if (due) {
            next += period;
            // After a long callback the missed periods are dropped, not made up in a burst.
            if (next <= now) next = now + period;
        }
        runCycle(lock);
    }
}

void Group::runCycle(std::unique_lock<std::mutex>& lock)
{
    if (!_settings.active || _connections.empty()) {
        for (Connection& c : _connections) c.prime = false;
        return;
    }
    const AddressSpace& space = _core->space();
    const std::uint64_t ms = space.clock().elapsedMs();
    const bool anyPrime = std::any_of(_connections.begin(), _connections.end(), [](const Connection& c) { return c.prime; });

    SampleSet set;
    if (anyPrime) set.samples.reserve(_liveItems);
    std::size_t changedCount = 0;
    for (Item& item : _items) {
        if (!item.active) continue;
        const std::uint64_t stamp = space.changeStamp(item.ref, ms);
        const bool changed = stamp != item.lastStamp;
        if (!changed && !anyPrime) continue;
        item.lastStamp = stamp;
        Sample& s = set.samples.emplace_back();
        s.ref = item.ref;
        s.clientHandle = item.clientHandle;
        s.changed = changed;
        space.read(item.ref, ms, s.value, s.quality, s.timeStamp);
        if (item.requestedType != VT_EMPTY && item.requestedType != s.value.vt && s.value.vt != VT_EMPTY) {
            if (FAILED(VariantChangeType(&s.value, &s.value, 0, item.requestedType))) {
                VariantClear(&s.value);
                s.quality = OPC_QUALITY_BAD;
            }
        }
        changedCount += changed;
    }

    std::vector<BlockItem> all;
    std::vector<BlockItem> changed;
    std::vector<ItemRef> allRefs;
    std::vector<ItemRef> changedRefs;
    all.reserve(set.samples.size());
    allRefs.reserve(set.samples.size());
    changed.reserve(changedCount);
    changedRefs.reserve(changedCount);
    for (const Sample& s : set.samples) {
        const BlockItem b{s.clientHandle, s.quality, s.timeStamp, &s.value};
        all.push_back(b);
        allRefs.push_back(s.ref);
        if (s.changed) {
            changed.push_back(b);
            changedRefs.push_back(s.ref);
        }
    }

    struct Planned {
        DWORD id;
        bool full;
    };
    std::vector<Planned> plan;
    for (Connection& c : _connections) {
        plan.push_back(Planned{c.id, c.prime});
        c.prime = false;
    }

    const auto dataTime = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(OPCSTMFORMATDATATIME));
    for (const Planned& p : plan) {
        const std::span<const BlockItem> items = p.full ? std::span<const BlockItem>(all) : std::span<const BlockItem>(changed);
        const std::span<const ItemRef> refs = p.full ? std::span<const ItemRef>(allRefs) : std::span<const ItemRef>(changedRefs);
        if (items.empty()) continue;
        // The connection may have gone while an earlier delivery of this round was out.
        Connection* c = findConnection(p.id);
        if (!c) continue;
        platform::ComPtr<IAdviseSink> sink = c->sink;
        platform::ComPtr<IOPCDataCallback> callback = c->callback;
        const CLIPFORMAT format = c->format;
        const OPCHANDLE clientGroup = _settings.clientHandle;
        _delivering = true;
        _deliveringConnection = p.id;
        _deliveringThread = std::this_thread::get_id();
        lock.unlock();
        if (callback) {
            deliverCallback(CallbackOutgoing{callback.get(), clientGroup, items, refs});
        } else {
            deliver(Outgoing{sink.get(), format,
                             format == dataTime ? BlockWriter::Format::DataTime : BlockWriter::Format::Data,
                             clientGroup, items});
        }
        sink.reset();
        callback.reset();
        lock.lock();
        _delivering = false;
        _deliveringThread = std::thread::id();
        _idle.notify_all();
        if (_shutdown) return;
    }
}

void Group::deliver(const Outgoing& out)
{
    HGLOBAL block = BlockWriter(out.layout).buildGlobal(out.items, out.clientGroup);
    // Without memory for the block this update is skipped; the next one tries again.
    if (!block) return;
    _core->noteUpdate(_core->space().clock().now());
    callSink(out.sink, out.format, block);
    GlobalFree(block);
}

void Group::deliverCallback(const CallbackOutgoing& out)
{
    CallbackArrays a(out.items);
    _core->noteUpdate(_core->space().clock().now());
    out.sink->OnDataChange(0, out.clientGroup, a.masterQuality(), a.masterError(), static_cast<DWORD>(a.handles.size()),
                           a.handles.data(), a.values.data(), a.qualities.data(), a.timeStamps.data(),
                           a.errors.data());
}

void Group::callSink(IAdviseSink* sink, CLIPFORMAT format, HGLOBAL block)
{
    FORMATETC fmt{format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = block;
    medium.pUnkForRelease = nullptr;
    sink->OnDataChange(&fmt, &medium);
}

} // namespace servers::kit
