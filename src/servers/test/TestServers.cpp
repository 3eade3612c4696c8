// The test servers: the kit's server and group, each made to misbehave in the way its class's
// fault names (see TestServers.h), and the library's exports.
#include "servers/test/TestServerObjects.h"

#include "platform/Registry.h"
#include "servers/kit/BlockWriter.h"
#include "servers/kit/ClassFactory.h"
#include "servers/kit/Server.h"
#include "servers/kit/StringEnumerator.h"
#include "servers/kit/TreeAddressSpace.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace servers::test {

namespace {

using kit::Generator;
using kit::NodeId;
using kit::Wave;

// --- address spaces ---------------------------------------------------------------------------

Generator waveOf(Wave w, double low, double high, std::uint32_t stepMs, std::uint32_t cycleMs = 10000)
{
    Generator g;
    g.wave = w;
    g.low = low;
    g.high = high;
    g.stepMs = stepMs;
    g.cycleMs = cycleMs;
    return g;
}

Generator fixedText(const WCHAR* text)
{
    Generator g;
    g.constant->vt = VT_BSTR;
    g.constant->bstrVal = SysAllocString(text);
    return g;
}

Generator fixedI2(SHORT value)
{
    Generator g;
    g.constant->vt = VT_I2;
    g.constant->iVal = value;
    return g;
}

Generator cyclingText()
{
    Generator g = waveOf(Wave::Sequence, 0, 2, 500);
    g.texts = {OLESTR("one"), OLESTR("two"), OLESTR("three")};
    return g;
}

constexpr DWORD kRead = OPC_READABLE;
constexpr DWORD kReadWrite = OPC_READABLE | OPC_WRITEABLE;

void addA(kit::TreeAddressSpace& s, NodeId at)
{
    s.addItem(at, OLESTR("a"), VT_I4, kReadWrite, waveOf(Wave::Counter, 0, 2147483647.0, 100));
}
void addB(kit::TreeAddressSpace& s, NodeId at) { s.addItem(at, OLESTR("b"), VT_BSTR, kRead, fixedText(OLESTR("Tagvista"))); }
void addX1(kit::TreeAddressSpace& s, NodeId at) { s.addItem(at, OLESTR("x1"), VT_R8, kRead, waveOf(Wave::Sine, -1, 1, 100)); }
void addX2(kit::TreeAddressSpace& s, NodeId at) { s.addItem(at, OLESTR("x2"), VT_BSTR, kReadWrite, cyclingText()); }
void addY(kit::TreeAddressSpace& s, NodeId x)
{
    const NodeId y = s.addBranch(x, OLESTR("Y"));
    s.addItem(y, OLESTR("y1"), VT_I2, kRead, fixedI2(42));
}

// Every branch (the root too) has a branch "Deeper" and a leaf "Depth"; the node and the item
// are both the depth.
class EndlessSpace : public kit::AddressSpace {
public:
    std::size_t branchCount(NodeId) const override { return 1; }
    NodeId branchAt(NodeId node, std::size_t) const override { return node + 1; }
    platform::WideString branchName(NodeId node) const override { return node == 0 ? OLESTR("") : OLESTR("Deeper"); }
    bool parentOf(NodeId node, NodeId& parent) const override
    {
        if (node == 0) return false;
        parent = node - 1;
        return true;
    }
    bool findBranch(NodeId node, platform::WideStringView name, NodeId& child) const override
    {
        if (name != OLESTR("Deeper")) return false;
        child = node + 1;
        return true;
    }
    std::size_t leafCount(NodeId) const override { return 1; }
    kit::ItemRef leafAt(NodeId node, std::size_t) const override { return node; }
    platform::WideString leafName(kit::ItemRef) const override { return OLESTR("Depth"); }
    platform::WideString itemId(kit::ItemRef item) const override
    {
        platform::WideString id;
        for (kit::ItemRef i = 0; i < item; ++i) id += OLESTR("Deeper/");
        return id + OLESTR("Depth");
    }
    bool findItem(platform::WideStringView id, kit::ItemRef& item) const override
    {
        kit::ItemRef depth = 0;
        while (id.starts_with(OLESTR("Deeper/"))) {
            id.remove_prefix(7);
            ++depth;
        }
        if (id != OLESTR("Depth")) return false;
        item = depth;
        return true;
    }
    kit::ItemTraits traits(kit::ItemRef) const override { return {VT_I4, OPC_READABLE}; }
    std::uint64_t changeStamp(kit::ItemRef, std::uint64_t) const override { return 0; }
    void read(kit::ItemRef item, std::uint64_t, VARIANT& value, WORD& quality, FILETIME& timeStamp) const override
    {
        VariantInit(&value);
        value.vt = VT_I4;
        value.lVal = static_cast<LONG>(std::min<kit::ItemRef>(item, 0x7FFFFFFF));
        quality = OPC_QUALITY_GOOD;
        timeStamp = clock().fileTimeAt(0);
    }
};

// Another space's tree whose ids, of items and of branches, all start with kIdPrefix; the names
// are the other space's.
class PrefixedIdSpace : public kit::AddressSpace {
public:
    static constexpr const WCHAR* kIdPrefix = OLESTR("ns=1;");

    explicit PrefixedIdSpace(std::shared_ptr<const kit::AddressSpace> inner) : _inner(std::move(inner)) {}

    std::size_t branchCount(NodeId node) const override { return _inner->branchCount(node); }
    NodeId branchAt(NodeId node, std::size_t index) const override { return _inner->branchAt(node, index); }
    platform::WideString branchName(NodeId node) const override { return _inner->branchName(node); }
    bool parentOf(NodeId node, NodeId& parent) const override { return _inner->parentOf(node, parent); }
    bool findBranch(NodeId node, platform::WideStringView name, NodeId& child) const override
    {
        return _inner->findBranch(node, name, child);
    }
    bool findBranchPath(platform::WideStringView path, NodeId& node) const override
    {
        if (path.empty()) {
            node = kit::kRootNode;
            return true;
        }
        platform::WideStringView rest;
        return unprefixed(path, rest) && !rest.empty() && _inner->findBranchPath(rest, node);
    }
    platform::WideString branchPath(NodeId node) const override
    {
        platform::WideString path = _inner->branchPath(node);
        return path.empty() ? path : kIdPrefix + path;
    }
    std::size_t leafCount(NodeId node) const override { return _inner->leafCount(node); }
    kit::ItemRef leafAt(NodeId node, std::size_t index) const override { return _inner->leafAt(node, index); }
    platform::WideString leafName(kit::ItemRef item) const override { return _inner->leafName(item); }
    platform::WideString itemId(kit::ItemRef item) const override { return kIdPrefix + _inner->itemId(item); }
    bool findItem(platform::WideStringView id, kit::ItemRef& item) const override
    {
        platform::WideStringView rest;
        return unprefixed(id, rest) && _inner->findItem(rest, item);
    }
    kit::ItemTraits traits(kit::ItemRef item) const override { return _inner->traits(item); }
    std::uint64_t changeStamp(kit::ItemRef item, std::uint64_t ms) const override { return _inner->changeStamp(item, ms); }
    void read(kit::ItemRef item, std::uint64_t ms, VARIANT& value, WORD& quality, FILETIME& timeStamp) const override
    {
        _inner->read(item, ms, value, quality, timeStamp);
    }

private:
    static bool unprefixed(platform::WideStringView id, platform::WideStringView& rest)
    {
        if (!id.starts_with(kIdPrefix)) return false;
        rest = id.substr(platform::WideStringView(kIdPrefix).size());
        return true;
    }

    const std::shared_ptr<const kit::AddressSpace> _inner;
};

std::shared_ptr<const kit::AddressSpace> buildSpace(Fault fault)
{
    if (fault == Fault::EndlessTree) return std::make_shared<EndlessSpace>();
    if (fault == Fault::Da3ItemIdsDiffer) return std::make_shared<PrefixedIdSpace>(buildSpace(Fault::None));
    auto s = std::make_shared<kit::TreeAddressSpace>();
    if (fault == Fault::Empty) return s;
    const NodeId root = kit::kRootNode;
    if (fault == Fault::Flat) {
        addA(*s, root);
        addB(*s, root);
        addX1(*s, root);
        addX2(*s, root);
        s->addItem(root, OLESTR("y1"), VT_I2, kRead, fixedI2(42));
        return s;
    }
    if (fault == Fault::DuplicateNames || fault == Fault::Da3DuplicateNames) {
        addA(*s, root);
        addA(*s, root);
        addB(*s, root);
        const NodeId x = s->addBranch(root, OLESTR("X"));
        addX1(*s, x);
        addY(*s, x);
        addX2(*s, s->addBranch(root, OLESTR("X")));
        return s;
    }
    addA(*s, root);
    addB(*s, root);
    const NodeId x = s->addBranch(root, OLESTR("X"));
    addX1(*s, x);
    addX2(*s, x);
    addY(*s, x);
    switch (fault) {
    case Fault::SlashNames:
        s->addItem(root, OLESTR("a/b"), VT_I4, kRead, waveOf(Wave::Counter, 0, 1000, 1000));
        s->addItem(s->addBranch(root, OLESTR("X/Y")), OLESTR("z"), VT_I2, kRead, fixedI2(7));
        break;
    case Fault::NonBmpNames: {
        s->addItem(root, OLESTR("Smile\U0001F600"), VT_I2, kRead, fixedI2(1));
        s->addItem(root, OLESTR("Gothic\U00010348"), VT_I2, kRead, fixedI2(2));
        const WCHAR loneHigh[] = {OLESTR('L'), OLESTR('o'), OLESTR('n'), OLESTR('e'), 0xD800, OLESTR('H'), OLESTR('i'), OLESTR('g'), OLESTR('h'), 0};
        const WCHAR loneLow[] = {OLESTR('L'), OLESTR('o'), OLESTR('n'), OLESTR('e'), 0xDC00, OLESTR('L'), OLESTR('o'), OLESTR('w'), 0};
        s->addItem(root, loneHigh, VT_I2, kRead, fixedI2(3));
        s->addItem(root, loneLow, VT_I2, kRead, fixedI2(4));
        s->addItem(s->addBranch(root, OLESTR("Music\U0001D11E")), OLESTR("Clef\U0001D11E"), VT_I2, kRead, fixedI2(5));
        break;
    }
    case Fault::LongNames:
        s->addItem(root, platform::WideString(10000, OLESTR('L')), VT_I2, kRead, fixedI2(6));
        s->addItem(s->addBranch(root, platform::WideString(10000, OLESTR('B'))), OLESTR("v"), VT_I2, kRead, fixedI2(7));
        break;
    default:
        break;
    }
    return s;
}

// --- the journal --------------------------------------------------------------------------------

std::mutex g_journalMutex;
Journal g_journals[256];

template <class Change>
void record(Fault fault, Change change)
{
    std::lock_guard lock(g_journalMutex);
    change(g_journals[static_cast<BYTE>(fault)]);
}

// --- hangs ------------------------------------------------------------------------------------

// A hang ends when its time is up or when a test ends the hangs that are running. Its length and
// the generation of the end-hangs calls are taken when it starts, so an end-hangs call made once
// the journal counts the hang ends it, wherever the wait itself happens.
std::mutex g_hangMutex;
std::condition_variable g_hangEnded;
std::uint64_t g_hangGeneration = 0;

struct HangStart {
    std::chrono::steady_clock::time_point end;
    std::uint64_t generation;
};

DWORD hangMilliseconds()
{
    DWORD ms = kDefaultHangMs;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kHangKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegQueryValueExA(key, kHangValue, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) ==
                ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof value) {
            ms = value;
        }
        RegCloseKey(key);
    }
    return ms;
}

HangStart startHang(Fault fault)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(hangMilliseconds());
    std::uint64_t generation;
    {
        std::lock_guard lock(g_hangMutex);
        generation = g_hangGeneration;
    }
    record(fault, [](Journal& j) { ++j.hangsStarted; });
    return HangStart{end, generation};
}

bool hangOver(const HangStart& hang)
{
    std::lock_guard lock(g_hangMutex);
    return g_hangGeneration != hang.generation || std::chrono::steady_clock::now() >= hang.end;
}

// Waits until the hang is over or stop() holds; false when stopped. stop is read under
// g_hangMutex, and whoever makes it hold notifies g_hangEnded.
template <class Stop>
bool waitHang(const HangStart& hang, Stop stop)
{
    std::unique_lock lock(g_hangMutex);
    g_hangEnded.wait_until(lock, hang.end, [&] { return g_hangGeneration != hang.generation || stop(); });
    return !stop();
}

void hang(Fault fault)
{
    waitHang(startHang(fault), [] { return false; });
}

// --- an enumerator that never ends ------------------------------------------------------------

class EndlessEnumerator : public platform::ComObject<IEnumString> {
public:
    EndlessEnumerator(std::shared_ptr<const std::vector<platform::WideString>> names, std::uint64_t position)
        : _names(std::move(names)), _position(position) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override
    {
        if (!rgelt || (celt > 1 && !pceltFetched)) return E_INVALIDARG;
        std::lock_guard lock(_mutex);
        for (ULONG i = 0; i < celt; ++i) {
            const std::uint64_t at = _position++;
            if (at < _names->size()) {
                rgelt[i] = kit::taskString((*_names)[at]);
            } else {
                const std::string more = "More" + std::to_string(at - _names->size());
                rgelt[i] = kit::taskString(platform::WideString(more.begin(), more.end()));
            }
        }
        if (pceltFetched) *pceltFetched = celt;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override
    {
        std::lock_guard lock(_mutex);
        _position += celt;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        std::lock_guard lock(_mutex);
        _position = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override
    {
        if (!ppenum) return E_INVALIDARG;
        std::lock_guard lock(_mutex);
        auto* copy = new EndlessEnumerator(_names, _position);
        copy->AddRef();
        *ppenum = copy;
        return S_OK;
    }

private:
    const std::shared_ptr<const std::vector<platform::WideString>> _names;
    std::mutex _mutex;
    std::uint64_t _position;
};

// --- the group ----------------------------------------------------------------------------------

void put32(BYTE* p, DWORD v) { std::memcpy(p, &v, 4); }

// Faults whose groups have no IDataObject, so that a client takes the DA 2.0 callback.
bool callbackFault(Fault fault)
{
    switch (fault) {
    case Fault::CallbackOnly:
    case Fault::CallbackCountPastItems:
    case Fault::CallbackNullArrays:
    case Fault::CallbackUnknownHandles:
    case Fault::CallbackWrongGroup:
    case Fault::CallbackBadTypes:
    case Fault::CallbackErrors:
    case Fault::CallbackAfterUnadvise:
        return true;
    default:
        return false;
    }
}

// A value x1 of the bad-types fault refers to.
LONG g_referenced = 1234;

class TestGroup : public kit::Group {
public:
    TestGroup(std::shared_ptr<kit::ServerCore> core, kit::GroupSettings settings, Fault fault)
        : Group(std::move(core), std::move(settings)), _fault(fault) {}

    ~TestGroup() override
    {
        // The client has let go of the group and of every sink it advised: a careless server
        // calls them all the same.
        for (const Forgotten& f : _forgotten) {
            for (int i = 0; i < 3; ++i) {
                if (f.callback) sendLateCall(f.callback.get(), i);
                else sendLateBlock(f.sink.get(), f.format, i);
                record(_fault, [](Journal& j) {
                    ++j.blocksDelivered;
                    ++j.blocksAfterRelease;
                });
            }
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (hides(riid)) {
            if (ppv) *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return Group::QueryInterface(riid, ppv);
    }

    Fault fault() const { return _fault; }

    // CallbackAfterUnadvise: the point's connections, kept to be called after they are taken
    // back.
    void callbackAdvised(DWORD cookie, IUnknown* sink)
    {
        platform::ComPtr<IOPCDataCallback> callback;
        if (FAILED(sink->QueryInterface(IID_IOPCDataCallback, callback.putVoid())) || !callback) return;
        std::lock_guard lock(_forgottenMutex);
        _advised.push_back(Forgotten{cookie, 0, nullptr, std::move(callback)});
    }
    // Answers as if the connection went, and keeps it; false for a cookie of no connection.
    bool forgetCallback(DWORD cookie)
    {
        if (!hasConnection(cookie)) return false;
        std::lock_guard lock(_forgottenMutex);
        for (auto it = _advised.begin(); it != _advised.end(); ++it) {
            if (it->connection != cookie) continue;
            _forgotten.push_back(std::move(*it));
            _advised.erase(it);
            break;
        }
        return true;
    }

    HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                       HRESULT** ppErrors) override
    {
        record(_fault, [](Journal& j) { ++j.addItemsCalls; });
        if (_fault == Fault::HangAddItems) hang(_fault);
        HRESULT hr = Group::AddItems(dwCount, pItemArray, ppAddResults, ppErrors);
        if (_fault != Fault::AddItemsPartial || FAILED(hr)) return hr;
        for (DWORD i = 0; i < dwCount; ++i) {
            const LPCWSTR id = pItemArray[i].szItemID;
            if (!id || platform::WideStringView(id).substr(0, 2) != OLESTR("X/") || FAILED((*ppErrors)[i])) continue;
            OPCHANDLE handle = (*ppAddResults)[i].hServer;
            HRESULT* removeErrors = nullptr;
            if (SUCCEEDED(RemoveItems(1, &handle, &removeErrors))) CoTaskMemFree(removeErrors);
            (*ppAddResults)[i] = OPCITEMRESULT{};
            (*ppErrors)[i] = kFailure;
            hr = S_FALSE;
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                                      DWORD* pdwConnection) override
    {
        record(_fault, [](Journal& j) { ++j.adviseCalls; });
        if (_fault == Fault::AdviseFails || _fault == Fault::StreamRefused) {
            if (pdwConnection) *pdwConnection = 0;
            return kFailure;
        }
        const HRESULT hr = Group::DAdvise(pformatetc, advf, pAdvSink, pdwConnection);
        if (_fault == Fault::HangAdvise) hang(_fault);
        if (_fault == Fault::CallbacksAfterUnadvise && SUCCEEDED(hr) && pdwConnection) {
            std::lock_guard lock(_forgottenMutex);
            _advised.push_back(Forgotten{*pdwConnection, pformatetc->cfFormat, platform::ComPtr<IAdviseSink>(pAdvSink), nullptr});
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD dwConnection) override
    {
        if (_fault == Fault::CallbacksAfterUnadvise) {
            if (!hasConnection(dwConnection)) return OLE_E_NOCONNECTION;
            std::lock_guard lock(_forgottenMutex);
            for (auto it = _advised.begin(); it != _advised.end(); ++it) {
                if (it->connection != dwConnection) continue;
                _forgotten.push_back(std::move(*it));
                _advised.erase(it);
                break;
            }
            return S_OK;
        }
        if (_fault == Fault::HangUnadvise) hang(_fault);
        return Group::DUnadvise(dwConnection);
    }

protected:
    void deliver(const Outgoing& out) override
    {
        deliverAsFaulted(out);
        record(_fault, [](Journal& j) { ++j.blocksDelivered; });
    }

    void deliverCallback(const CallbackOutgoing& out) override
    {
        deliverCallbackAsFaulted(out);
        record(_fault, [](Journal& j) { ++j.blocksDelivered; });
    }

    std::unique_ptr<kit::DataCallbackPoint> createCallbackPoint() override;

private:
    bool hides(REFIID riid) const
    {
        if (IsEqualIID(riid, IID_IOPCItemMgt)) return _fault == Fault::NoItemMgt;
        if (IsEqualIID(riid, IID_IDataObject)) return _fault == Fault::NoDataObject || callbackFault(_fault);
        if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
            return _fault == Fault::NoDataObject || _fault == Fault::OldInterfacesOnly;
        }
        return false;
    }

    void deliverCallbackAsFaulted(const CallbackOutgoing& out)
    {
        switch (_fault) {
        case Fault::CallbackCountPastItems: {
            // As long as announced, so that nothing reads outside memory, in or out of process.
            kit::CallbackArrays a(out.items, out.items.size() + 1000);
            call(out.sink, out.clientGroup, a);
            return;
        }
        case Fault::CallbackNullArrays: {
            kit::CallbackArrays a(out.items);
            const unsigned turn = _nullTurn++ % 5;
            out.sink->OnDataChange(0, out.clientGroup, a.masterQuality(), a.masterError(),
                                   static_cast<DWORD>(a.handles.size()), turn == 0 ? nullptr : a.handles.data(),
                                   turn == 1 ? nullptr : a.values.data(), turn == 2 ? nullptr : a.qualities.data(),
                                   turn == 3 ? nullptr : a.timeStamps.data(), turn == 4 ? nullptr : a.errors.data());
            return;
        }
        case Fault::CallbackUnknownHandles: {
            kit::CallbackArrays a(out.items);
            for (OPCHANDLE& h : a.handles) h += 0x40000000;
            call(out.sink, out.clientGroup, a);
            return;
        }
        case Fault::CallbackWrongGroup: {
            kit::CallbackArrays a(out.items);
            call(out.sink, out.clientGroup + 1, a);
            return;
        }
        case Fault::CallbackBadTypes: {
            kit::CallbackArrays a(out.items);
            // Owned here and freed when the call has returned.
            std::vector<platform::Variant> owned(out.items.size());
            for (std::size_t i = 0; i < out.items.size(); ++i) {
                if (!badValue(core()->space().itemId(out.refs[i]), *owned[i].get())) continue;
                a.values[i] = *owned[i].get();
                a.qualities[i] = OPC_QUALITY_GOOD;
            }
            call(out.sink, out.clientGroup, a);
            return;
        }
        case Fault::CallbackErrors: {
            kit::CallbackArrays a(out.items);
            for (std::size_t i = 0; i < out.items.size(); ++i) {
                if (!platform::WideStringView(core()->space().itemId(out.refs[i])).starts_with(OLESTR("X/"))) continue;
                a.errors[i] = E_FAIL;
                // The values are borrowed: emptying the copy frees nothing.
                VariantInit(&a.values[i]);
                a.qualities[i] = OPC_QUALITY_BAD;
            }
            call(out.sink, out.clientGroup, a, E_FAIL);
            return;
        }
        default:
            Group::deliverCallback(out);
        }
    }

    // OnDataChange with every entry of the arrays; the master error as given, else as the
    // errors give it.
    static void call(IOPCDataCallback* sink, OPCHANDLE group, kit::CallbackArrays& a, HRESULT masterError = S_OK)
    {
        sink->OnDataChange(0, group, a.masterQuality(), masterError == S_OK ? a.masterError() : masterError,
                           static_cast<DWORD>(a.handles.size()), a.handles.data(), a.values.data(), a.qualities.data(),
                           a.timeStamps.data(), a.errors.data());
    }

    // The bad-types fault's value for an item; false for an item it leaves as it is.
    static bool badValue(const platform::WideString& id, VARIANT& v)
    {
        if (id == OLESTR("a")) {
            v.vt = VT_UNKNOWN;
            v.punkVal = nullptr;
        } else if (id == OLESTR("b")) {
            v.vt = VT_DISPATCH;
            v.pdispVal = nullptr;
        } else if (id == OLESTR("X/x1")) {
            v.vt = VT_BYREF | VT_I4;
            v.plVal = &g_referenced;
        } else if (id == OLESTR("X/x2")) {
            SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 2);
            if (!array) return false;
            for (LONG i = 0; i < 2; ++i) {
                platform::Variant element;
                element->vt = VT_I4;
                element->lVal = i + 1;
                SafeArrayPutElement(array, &i, element.get());
            }
            v.vt = VT_ARRAY | VT_VARIANT;
            v.parray = array;
        } else if (id == OLESTR("X/Y/y1")) {
            SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
            SAFEARRAY* array = SafeArrayCreate(VT_I4, 2, bounds);
            if (!array) return false;
            for (LONG row = 0; row < 2; ++row) {
                for (LONG column = 0; column < 2; ++column) {
                    LONG at[2] = {row, column};
                    LONG value = row * 10 + column;
                    SafeArrayPutElement(array, at, &value);
                }
            }
            v.vt = VT_ARRAY | VT_I4;
            v.parray = array;
        } else {
            return false;
        }
        return true;
    }

    // A late call of CallbackAfterUnadvise: five items the client never had.
    static void sendLateCall(IOPCDataCallback* sink, int round)
    {
        std::vector<platform::Variant> values(5);
        std::vector<kit::BlockItem> items(5);
        for (std::size_t i = 0; i < items.size(); ++i) {
            values[i]->vt = VT_I4;
            values[i]->lVal = round;
            items[i].hClient = static_cast<OPCHANDLE>(1000 + i);
            items[i].quality = OPC_QUALITY_GOOD;
            GetSystemTimeAsFileTime(&items[i].timeStamp);
            items[i].value = values[i].get();
        }
        kit::CallbackArrays a(items);
        call(sink, 1234, a);
    }

    void deliverAsFaulted(const Outgoing& out)
    {
        switch (_fault) {
        case Fault::BlockNegativeStatus:
        case Fault::BlockNoItems:
        case Fault::BlockUnknownHandles:
        case Fault::BlockHandleAllOnes:
        case Fault::BlockOtherFormat:
        case Fault::BlockNullHandle:
        case Fault::BlockCountPastEnd:
        case Fault::BlockOffsetPastEnd:
        case Fault::BlockCutString:
        case Fault::BlockShortMemory:
            break;
        default:
            Group::deliver(out);
            return;
        }
        if (_fault == Fault::BlockNullHandle) {
            callSink(out.sink, out.format, nullptr);
            return;
        }
        std::vector<kit::BlockItem> items(out.items.begin(), out.items.end());
        for (kit::BlockItem& item : items) {
            if (_fault == Fault::BlockUnknownHandles) item.hClient += 0x40000000;
            if (_fault == Fault::BlockHandleAllOnes) item.hClient = 0xFFFFFFFF;
        }
        if (_fault == Fault::BlockCutString) {
            std::stable_partition(items.begin(), items.end(),
                                  [](const kit::BlockItem& b) { return !(b.value && b.value->vt == VT_BSTR); });
        }
        std::vector<BYTE> block = kit::BlockWriter(out.layout).build(items, out.clientGroup);
        CLIPFORMAT format = out.format;
        switch (_fault) {
        case Fault::BlockNegativeStatus:
            put32(block.data() + 16, static_cast<DWORD>(kFailure));
            break;
        case Fault::BlockNoItems:
            block.resize(opcstream::kGroupHeaderSize);
            put32(block.data(), static_cast<DWORD>(block.size()));
            put32(block.data() + 4, 0);
            put32(block.data() + 16, S_OK);
            break;
        case Fault::BlockOtherFormat:
            format = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(OPCSTMFORMATWRITECOMPLETE));
            break;
        case Fault::BlockCountPastEnd:
            put32(block.data() + 4, static_cast<DWORD>(items.size() + 1000));
            break;
        case Fault::BlockOffsetPastEnd:
            put32(block.data() + opcstream::kGroupHeaderSize + 4, static_cast<DWORD>(block.size() + 64));
            break;
        case Fault::BlockCutString:
            block.resize(block.size() - 4);
            put32(block.data(), static_cast<DWORD>(block.size()));
            break;
        default:
            break;
        }
        const std::size_t held = _fault == Fault::BlockShortMemory ? block.size() / 2 : block.size();
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, held);
        if (!memory) return;
        if (void* p = GlobalLock(memory)) {
            std::memcpy(p, block.data(), held);
            GlobalUnlock(memory);
            callSink(out.sink, format, memory);
        }
        GlobalFree(memory);
    }

    void sendLateBlock(IAdviseSink* sink, CLIPFORMAT format, int round)
    {
        std::vector<platform::Variant> values(5);
        std::vector<kit::BlockItem> items(5);
        for (std::size_t i = 0; i < items.size(); ++i) {
            values[i]->vt = VT_I4;
            values[i]->lVal = round;
            items[i].hClient = static_cast<OPCHANDLE>(1000 + i);
            items[i].quality = OPC_QUALITY_GOOD;
            items[i].value = values[i].get();
        }
        const std::vector<BYTE> block = kit::BlockWriter().build(items, 1234);
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, block.size());
        if (!memory) return;
        if (void* p = GlobalLock(memory)) {
            std::memcpy(p, block.data(), block.size());
            GlobalUnlock(memory);
            callSink(sink, format, memory);
        }
        GlobalFree(memory);
    }

    // A stream connection (sink and format) or a callback one.
    struct Forgotten {
        DWORD connection;
        CLIPFORMAT format;
        platform::ComPtr<IAdviseSink> sink;
        platform::ComPtr<IOPCDataCallback> callback;
    };

    const Fault _fault;
    std::mutex _forgottenMutex;
    std::vector<Forgotten> _advised;    // CallbacksAfterUnadvise, CallbackAfterUnadvise: the sinks it was given
    std::vector<Forgotten> _forgotten;  // ... and those it was told to forget
    unsigned _nullTurn = 0;             // CallbackNullArrays: the update thread's only
};

// The data callback point of a test group: counts the advises, fails them, or forgets to
// unadvise, as the fault says.
class TestCallbackPoint : public kit::DataCallbackPoint {
public:
    explicit TestCallbackPoint(TestGroup& group) : DataCallbackPoint(group), _group(group) {}

    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override
    {
        const Fault fault = _group.fault();
        record(fault, [](Journal& j) { ++j.callbackAdvises; });
        if (fault == Fault::AdviseFails) {
            if (pdwCookie) *pdwCookie = 0;
            return kFailure;
        }
        const HRESULT hr = DataCallbackPoint::Advise(pUnkSink, pdwCookie);
        if (fault == Fault::CallbackAfterUnadvise && SUCCEEDED(hr)) _group.callbackAdvised(*pdwCookie, pUnkSink);
        return hr;
    }

    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override
    {
        if (_group.fault() != Fault::CallbackAfterUnadvise) return DataCallbackPoint::Unadvise(dwCookie);
        return _group.forgetCallback(dwCookie) ? S_OK : CONNECT_E_NOCONNECTION;
    }

private:
    TestGroup& _group;
};

std::unique_ptr<kit::DataCallbackPoint> TestGroup::createCallbackPoint()
{
    return std::make_unique<TestCallbackPoint>(*this);
}

// --- the server -------------------------------------------------------------------------------

std::atomic<SpaceHolder> g_spaceHolder{nullptr};

std::shared_ptr<const kit::AddressSpace> held(std::shared_ptr<const kit::AddressSpace> space)
{
    const SpaceHolder holder = g_spaceHolder.load();
    return holder ? holder(std::move(space)) : space;
}

kit::ServerIdentity testIdentity()
{
    kit::ServerIdentity id;
    id.vendorInfo = kVendorInfo;
    id.majorVersion = TAGVISTA_VERSION_MAJOR;
    id.minorVersion = TAGVISTA_VERSION_MINOR;
    id.buildNumber = TAGVISTA_VERSION_PATCH;
    id.minimumUpdateRateMs = 10;
    return id;
}

class TestServer;

// Objects whose count would have reached 0 under Fault::ReleaseNeverZero: kept reachable (and
// never freed) for the rest of the process, as a server that never lets go would be.
std::mutex g_retiredMutex;
std::vector<TestServer*>* g_retired = new std::vector<TestServer*>();

class TestServer : public kit::Server {
public:
    explicit TestServer(Fault fault) : Server(testIdentity(), held(buildSpace(fault))), _fault(fault) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (hides(riid)) {
            if (ppv) *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return Server::QueryInterface(riid, ppv);
    }

    ULONG STDMETHODCALLTYPE Release() override
    {
        // Only the caller holds the object now: nobody can take a reference during the hang.
        if (_fault == Fault::HangRelease && refCount() == 1) hang(_fault);
        if (_fault != Fault::ReleaseNeverZero) return Server::Release();
        std::lock_guard lock(g_retiredMutex);
        if (refCount() > 1) return Server::Release();
        if (!_retired) {
            _retired = true;
            shutdownGroups();
            g_retired->push_back(this);
        }
        return 1;
    }

    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override
    {
        if (_fault == Fault::StatusFails) {
            if (ppServerStatus) *ppServerStatus = nullptr;
            return kFailure;
        }
        if (_fault == Fault::HangStatus) hang(_fault);
        if (_fault == Fault::StatusThrows) throw std::bad_alloc();
        const HRESULT hr = Server::GetStatus(ppServerStatus);
        if (FAILED(hr)) return hr;
        OPCSERVERSTATUS* status = *ppServerStatus;
        switch (_fault) {
        case Fault::StatusTimesOutOfRange:
            status->ftStartTime = platform::u64ToFileTime(0x8000000000000000ull);
            status->ftCurrentTime = platform::u64ToFileTime(0xFFFFFFFFFFFFFFFFull);
            status->ftLastUpdateTime = platform::u64ToFileTime(0x8000000000000001ull);
            break;
        case Fault::State0: status->dwServerState = static_cast<OPCSERVERSTATE>(0); break;
        case Fault::State7: status->dwServerState = static_cast<OPCSERVERSTATE>(7); break;
        case Fault::State255: status->dwServerState = static_cast<OPCSERVERSTATE>(255); break;
        case Fault::State256: status->dwServerState = static_cast<OPCSERVERSTATE>(256); break;
        default: break;
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                       OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                                       OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                                       IUnknown** ppUnk) override
    {
        record(_fault, [&](Journal& j) {
            ++j.addGroupCalls;
            AddGroupCall& call = j.lastAddGroup;
            call.nameGiven = szName != nullptr;
            call.name = szName ? szName : OLESTR("");
            call.active = bActive;
            call.requestedUpdateRate = dwRequestedUpdateRate;
            call.clientGroup = hClientGroup;
            call.timeBiasGiven = pTimeBias != nullptr;
            call.timeBias = pTimeBias ? *pTimeBias : 0;
            call.deadbandGiven = pPercentDeadband != nullptr;
            call.percentDeadband = pPercentDeadband ? *pPercentDeadband : 0;
            call.lcid = dwLCID;
            call.riid = riid;
        });
        if (_fault == Fault::AddGroupFails) {
            if (ppUnk) *ppUnk = nullptr;
            return kFailure;
        }
        return Server::AddGroup(szName, bActive, dwRequestedUpdateRate, hClientGroup, pTimeBias, pPercentDeadband,
                                dwLCID, phServerGroup, pRevisedUpdateRate, riid, ppUnk);
    }

    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override
    {
        if (_fault == Fault::HangBrowse) hang(_fault);
        const bool toBranch = dwBrowseDirection == OPC_BROWSE_TO && szString && *szString;
        if (_fault == Fault::DescentRefused && (dwBrowseDirection == OPC_BROWSE_DOWN || toBranch)) return kFailure;
        if (_fault == Fault::AscentRefused &&
            (dwBrowseDirection == OPC_BROWSE_UP || dwBrowseDirection == OPC_BROWSE_TO)) {
            return kFailure;
        }
        return Server::ChangeBrowsePosition(dwBrowseDirection, szString);
    }

    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                               VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                               IEnumString** ppIEnumString) override
    {
        if (_fault == Fault::HangBrowse) hang(_fault);
        if ((_fault == Fault::BranchBrowseFails && dwBrowseFilterType == OPC_BRANCH) ||
            (_fault == Fault::LeafBrowseFails && dwBrowseFilterType == OPC_LEAF)) {
            if (ppIEnumString) *ppIEnumString = nullptr;
            return kFailure;
        }
        const HRESULT hr = Server::BrowseOPCItemIDs(dwBrowseFilterType, szFilterCriteria, vtDataTypeFilter,
                                                    dwAccessRightsFilter, ppIEnumString);
        if (_fault != Fault::EndlessEnumerator || FAILED(hr)) return hr;
        platform::ComPtr<IEnumString> real;
        real.attach(*ppIEnumString);
        auto names = std::make_shared<std::vector<platform::WideString>>();
        LPOLESTR name = nullptr;
        ULONG fetched = 0;
        while (real->Next(1, &name, &fetched) == S_OK && fetched == 1) {
            names->emplace_back(name);
            CoTaskMemFree(name);
        }
        auto* endless = new EndlessEnumerator(std::move(names), 0);
        endless->AddRef();
        *ppIEnumString = endless;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                                     OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                                     BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                                     DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                                     OPCBROWSEELEMENT** ppBrowseElements) override
    {
        if (_fault == Fault::HangBrowse) hang(_fault);
        std::uint64_t more = 0;
        if (_fault == Fault::Da3EndlessContinuation && pszContinuationPoint && *pszContinuationPoint &&
            endlessPoint(*pszContinuationPoint, more)) {
            return browseMore(more, pszContinuationPoint, pbMoreElements, pdwCount, ppBrowseElements);
        }
        const HRESULT hr = Server::Browse(szItemID, pszContinuationPoint, dwMaxElementsReturned, dwBrowseFilter,
                                          szElementNameFilter, szVendorFilter, bReturnAllProperties,
                                          bReturnPropertyValues, dwPropertyCount, pdwPropertyIDs, pbMoreElements,
                                          pdwCount, ppBrowseElements);
        if (_fault != Fault::Da3EndlessContinuation || FAILED(hr) || *pbMoreElements) return hr;
        // The real elements are all out: the endless ones begin.
        *pszContinuationPoint = kit::taskString(endlessText(0));
        *pbMoreElements = TRUE;
        return hr;
    }

protected:
    kit::Group* createGroup(std::shared_ptr<kit::ServerCore> core, kit::GroupSettings settings) override
    {
        return new TestGroup(std::move(core), std::move(settings), _fault);
    }

private:
    bool hides(REFIID riid) const
    {
        if (IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace)) {
            switch (_fault) {
            case Fault::NoBrowse:
            case Fault::Da3BrowseOnly:
            case Fault::Da3EndlessContinuation:
            case Fault::Da3DuplicateNames:
            case Fault::Da3ItemIdsDiffer:
                return true;
            default:
                return false;
            }
        }
        if (IsEqualIID(riid, IID_IOPCBrowse)) return _fault == Fault::NoBrowse || _fault == Fault::OldInterfacesOnly;
        return false;
    }

    // Da3EndlessContinuation's points: "More:<n>", n the number of the next element.
    static platform::WideString endlessText(std::uint64_t n)
    {
        const std::string text = "More:" + std::to_string(n);
        return platform::WideString(text.begin(), text.end());
    }
    static bool endlessPoint(platform::WideStringView point, std::uint64_t& n)
    {
        constexpr platform::WideStringView prefix = OLESTR("More:");
        if (!point.starts_with(prefix) || point.size() == prefix.size() || point.size() > prefix.size() + 19) return false;
        n = 0;
        for (const WCHAR c : point.substr(prefix.size())) {
            if (c < OLESTR('0') || c > OLESTR('9')) return false;
            n = n * 10 + static_cast<std::uint64_t>(c - OLESTR('0'));
        }
        return true;
    }
    // One item "More<n>", and the point of the next.
    static HRESULT browseMore(std::uint64_t n, LPWSTR* pszContinuationPoint, BOOL* pbMoreElements, DWORD* pdwCount,
                              OPCBROWSEELEMENT** ppBrowseElements)
    {
        CoTaskMemFree(*pszContinuationPoint);
        *pszContinuationPoint = nullptr;
        if (pbMoreElements) *pbMoreElements = FALSE;
        if (pdwCount) *pdwCount = 0;
        if (ppBrowseElements) *ppBrowseElements = nullptr;
        if (!pbMoreElements || !pdwCount || !ppBrowseElements) return E_INVALIDARG;
        const std::string name = "More" + std::to_string(n);
        const platform::WideString wide(name.begin(), name.end());
        auto* element = static_cast<OPCBROWSEELEMENT*>(CoTaskMemAlloc(sizeof(OPCBROWSEELEMENT)));
        LPWSTR next = kit::taskString(endlessText(n + 1));
        if (!element || !next) {
            CoTaskMemFree(element);
            CoTaskMemFree(next);
            return E_OUTOFMEMORY;
        }
        std::memset(element, 0, sizeof *element);
        element->szName = kit::taskString(wide);
        element->szItemID = kit::taskString(wide);
        element->dwFlagValue = OPC_BROWSE_ISITEM;
        *ppBrowseElements = element;
        *pdwCount = 1;
        *pbMoreElements = TRUE;
        *pszContinuationPoint = next;
        return S_OK;
    }

    const Fault _fault;
    bool _retired = false;
};

// --- ShutdownRequest: the server asks its clients to go ---------------------------------------

class NoticeServer;

// Tells the server of each Advise that succeeded.
class NoticePoint : public kit::ShutdownPoint {
public:
    NoticePoint(IConnectionPointContainer& container, NoticeServer& server) : ShutdownPoint(container), _server(server) {}
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;

private:
    NoticeServer& _server;
};

class NoticeServer : public TestServer {
public:
    NoticeServer() : TestServer(Fault::ShutdownRequest) {}

    ~NoticeServer() override
    {
        {
            std::lock_guard lock(g_hangMutex);
            _stopping = true;
        }
        g_hangEnded.notify_all();
        std::thread notice;
        {
            std::lock_guard lock(_threadMutex);
            notice = std::move(_thread);
        }
        if (!notice.joinable()) return;
        // A sink that lets go of the last reference from inside its ShutdownRequest runs this on
        // the notice thread, which touches nothing of the object after the call.
        if (notice.get_id() == std::this_thread::get_id()) notice.detach();
        else notice.join();
    }

    // The first Advise starts the notice's wait; later ones change nothing.
    void advised()
    {
        std::lock_guard lock(_threadMutex);
        if (_started) return;
        _started = true;
        const HangStart wait = startHang(Fault::ShutdownRequest);
        try {
            _thread = std::thread([this, wait] {
                if (!waitHang(wait, [this] { return _stopping; })) return;
                // The destructor joins this thread before the kit's Server base goes.
                const std::size_t sinks = requestShutdown(kShutdownReason);
                record(Fault::ShutdownRequest, [sinks](Journal& j) { j.shutdownNotices += static_cast<std::uint32_t>(sinks); });
            });
        } catch (const std::system_error&) {
            // Without a thread there is no notice; the server serves on.
        }
    }

protected:
    std::unique_ptr<kit::ShutdownPoint> createShutdownPoint() override
    {
        return std::make_unique<NoticePoint>(*this, *this);
    }

private:
    std::mutex _threadMutex;
    std::thread _thread;
    bool _started = false;
    bool _stopping = false;  // under g_hangMutex
};

HRESULT NoticePoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    const HRESULT hr = ShutdownPoint::Advise(pUnkSink, pdwCookie);
    if (SUCCEEDED(hr)) _server.advised();
    return hr;
}

// --- Gone: a server that has died -------------------------------------------------------------

// When the server dies: a hang's time after its first GetStatus has answered. Shared by the
// server object, its groups, its point and its enumerators. Any thread.
class DeathClock {
public:
    void start()
    {
        std::lock_guard lock(_mutex);
        if (_started) return;
        _started = true;
        _hang = startHang(Fault::Gone);
    }
    bool dead()
    {
        if (_dead.load()) return true;
        std::lock_guard lock(_mutex);
        if (_started && hangOver(_hang)) _dead.store(true);
        return _dead.load();
    }

private:
    std::mutex _mutex;
    bool _started = false;
    HangStart _hang{};
    std::atomic<bool> _dead{false};
};

// What a dead server's proxy answers: the error, with the out parameters cleared.
template <class... Out>
HRESULT unavailable(Out*... out)
{
    ((out ? void(*out = Out{}) : void()), ...);
    return kServerUnavailable;
}

class GoneEnumerator : public platform::ComObject<IEnumString> {
public:
    GoneEnumerator(platform::ComPtr<IEnumString> inner, std::shared_ptr<DeathClock> clock)
        : _inner(std::move(inner)), _clock(std::move(clock)) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override
    {
        return _clock->dead() ? unavailable(pceltFetched) : _inner->Next(celt, rgelt, pceltFetched);
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override { return _clock->dead() ? unavailable() : _inner->Skip(celt); }
    HRESULT STDMETHODCALLTYPE Reset() override { return _clock->dead() ? unavailable() : _inner->Reset(); }
    HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override
    {
        if (_clock->dead()) return unavailable(ppenum);
        if (!ppenum) return E_INVALIDARG;
        platform::ComPtr<IEnumString> copy;
        const HRESULT hr = _inner->Clone(copy.put());
        *ppenum = nullptr;
        if (FAILED(hr)) return hr;
        return wrap(std::move(copy), _clock, ppenum);
    }

    // The enumerator as the dead server's: a reference for the caller in *out.
    static HRESULT wrap(platform::ComPtr<IEnumString> inner, std::shared_ptr<DeathClock> clock, IEnumString** out)
    {
        platform::ComPtr<GoneEnumerator> e(new GoneEnumerator(std::move(inner), std::move(clock)));
        *out = e.detach();
        return S_OK;
    }

private:
    const platform::ComPtr<IEnumString> _inner;
    const std::shared_ptr<DeathClock> _clock;
};

// A connection point of a dead server (the group's for the data callback, the server object's
// for shutdown notices): every method answers as the dead server's proxy does.
template <class Point>
class GoneConnectionPoint : public Point {
public:
    template <class Owner>
    GoneConnectionPoint(Owner& owner, std::shared_ptr<DeathClock> clock) : Point(owner), _clock(std::move(clock)) {}

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override
    {
        return _clock->dead() ? unavailable(pIID) : Point::GetConnectionInterface(pIID);
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override
    {
        return _clock->dead() ? unavailable(ppCPC) : Point::GetConnectionPointContainer(ppCPC);
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override
    {
        return _clock->dead() ? unavailable(pdwCookie) : Point::Advise(pUnkSink, pdwCookie);
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override
    {
        return _clock->dead() ? unavailable() : Point::Unadvise(dwCookie);
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override
    {
        return _clock->dead() ? unavailable(ppEnum) : Point::EnumConnections(ppEnum);
    }

private:
    const std::shared_ptr<DeathClock> _clock;
};
using GoneCallbackPoint = GoneConnectionPoint<TestCallbackPoint>;
using GonePoint = GoneConnectionPoint<kit::ShutdownPoint>;

class GoneGroup : public TestGroup {
public:
    GoneGroup(std::shared_ptr<kit::ServerCore> core, kit::GroupSettings settings, std::shared_ptr<DeathClock> clock)
        : TestGroup(std::move(core), std::move(settings), Fault::Gone), _clock(std::move(clock)) {}

    // --- IOPCItemMgt ------------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                       HRESULT** ppErrors) override
    {
        return dead() ? unavailable(ppAddResults, ppErrors) : TestGroup::AddItems(dwCount, pItemArray, ppAddResults, ppErrors);
    }
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                            OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override
    {
        return dead() ? unavailable(ppValidationResults, ppErrors)
                      : TestGroup::ValidateItems(dwCount, pItemArray, bBlobUpdate, ppValidationResults, ppErrors);
    }
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override
    {
        return dead() ? unavailable(ppErrors) : TestGroup::RemoveItems(dwCount, phServer, ppErrors);
    }
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override
    {
        return dead() ? unavailable(ppErrors) : TestGroup::SetActiveState(dwCount, phServer, bActive, ppErrors);
    }
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                               HRESULT** ppErrors) override
    {
        return dead() ? unavailable(ppErrors) : TestGroup::SetClientHandles(dwCount, phServer, phClient, ppErrors);
    }
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                           HRESULT** ppErrors) override
    {
        return dead() ? unavailable(ppErrors) : TestGroup::SetDatatypes(dwCount, phServer, pRequestedDatatypes, ppErrors);
    }
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, IUnknown** ppUnk) override
    {
        return dead() ? unavailable(ppUnk) : TestGroup::CreateEnumerator(riid, ppUnk);
    }

    // --- IOPCGroupStateMgt ------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                       FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                       OPCHANDLE* phServerGroup) override
    {
        if (dead()) {
            return unavailable(pUpdateRate, pActive, ppName, pTimeBias, pPercentDeadband, pLCID, phClientGroup,
                               phServerGroup);
        }
        return TestGroup::GetState(pUpdateRate, pActive, ppName, pTimeBias, pPercentDeadband, pLCID, phClientGroup,
                                   phServerGroup);
    }
    HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                                       LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                       OPCHANDLE* phClientGroup) override
    {
        if (dead()) return unavailable(pRevisedUpdateRate);
        return TestGroup::SetState(pRequestedUpdateRate, pRevisedUpdateRate, pActive, pTimeBias, pPercentDeadband,
                                   pLCID, phClientGroup);
    }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) override
    {
        return dead() ? unavailable() : TestGroup::SetName(szName);
    }
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override
    {
        return dead() ? unavailable(ppUnk) : TestGroup::CloneGroup(szName, riid, ppUnk);
    }

    // --- IDataObject ----------------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override
    {
        return dead() ? unavailable() : TestGroup::GetData(pformatetcIn, pmedium);
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override
    {
        return dead() ? unavailable() : TestGroup::GetDataHere(pformatetc, pmedium);
    }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* pformatetc) override
    {
        return dead() ? unavailable() : TestGroup::QueryGetData(pformatetc);
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override
    {
        return dead() ? unavailable() : TestGroup::GetCanonicalFormatEtc(pformatectIn, pformatetcOut);
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override
    {
        return dead() ? unavailable() : TestGroup::SetData(pformatetc, pmedium, fRelease);
    }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override
    {
        return dead() ? unavailable(ppenumFormatEtc) : TestGroup::EnumFormatEtc(dwDirection, ppenumFormatEtc);
    }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                                      DWORD* pdwConnection) override
    {
        return dead() ? unavailable(pdwConnection) : TestGroup::DAdvise(pformatetc, advf, pAdvSink, pdwConnection);
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD dwConnection) override
    {
        return dead() ? unavailable() : TestGroup::DUnadvise(dwConnection);
    }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override
    {
        return dead() ? unavailable(ppenumAdvise) : TestGroup::EnumDAdvise(ppenumAdvise);
    }

    // --- IConnectionPointContainer ----------------------------------------------------------
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override
    {
        return dead() ? unavailable(ppEnum) : TestGroup::EnumConnectionPoints(ppEnum);
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override
    {
        return dead() ? unavailable(ppCP) : TestGroup::FindConnectionPoint(riid, ppCP);
    }

protected:
    void deliver(const Outgoing& out) override
    {
        // Dead servers send nothing; the journal lets a test see that the update went by.
        if (dead()) record(Fault::Gone, [](Journal& j) { ++j.blocksWithheld; });
        else TestGroup::deliver(out);
    }
    void deliverCallback(const CallbackOutgoing& out) override
    {
        if (dead()) record(Fault::Gone, [](Journal& j) { ++j.blocksWithheld; });
        else TestGroup::deliverCallback(out);
    }
    std::unique_ptr<kit::DataCallbackPoint> createCallbackPoint() override
    {
        return std::make_unique<GoneCallbackPoint>(*this, _clock);
    }

private:
    bool dead() const { return _clock->dead(); }

    const std::shared_ptr<DeathClock> _clock;
};

class GoneServer : public TestServer {
public:
    GoneServer() : TestServer(Fault::Gone), _clock(std::make_shared<DeathClock>()) {}

    // --- IOPCServer -------------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                       OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                                       OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                                       IUnknown** ppUnk) override
    {
        if (dead()) return unavailable(phServerGroup, pRevisedUpdateRate, ppUnk);
        return TestServer::AddGroup(szName, bActive, dwRequestedUpdateRate, hClientGroup, pTimeBias, pPercentDeadband,
                                    dwLCID, phServerGroup, pRevisedUpdateRate, riid, ppUnk);
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override
    {
        return dead() ? unavailable(ppString) : TestServer::GetErrorString(dwError, dwLocale, ppString);
    }
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override
    {
        return dead() ? unavailable(ppUnk) : TestServer::GetGroupByName(szName, riid, ppUnk);
    }
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override
    {
        if (dead()) return unavailable(ppServerStatus);
        const HRESULT hr = TestServer::GetStatus(ppServerStatus);
        _clock->start();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override
    {
        return dead() ? unavailable() : TestServer::RemoveGroup(hServerGroup, bForce);
    }
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) override
    {
        if (dead()) return unavailable(ppUnk);
        const HRESULT hr = TestServer::CreateGroupEnumerator(dwScope, riid, ppUnk);
        if (FAILED(hr)) return hr;
        platform::ComPtr<IEnumString> inner;
        inner.attach(static_cast<IEnumString*>(*ppUnk));
        IEnumString* wrapped = nullptr;
        GoneEnumerator::wrap(std::move(inner), _clock, &wrapped);
        *ppUnk = wrapped;
        return hr;
    }

    // --- IOPCBrowseServerAddressSpace ---------------------------------------------------------
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override
    {
        return dead() ? unavailable(pNameSpaceType) : TestServer::QueryOrganization(pNameSpaceType);
    }
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override
    {
        return dead() ? unavailable() : TestServer::ChangeBrowsePosition(dwBrowseDirection, szString);
    }
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                               VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                               IEnumString** ppIEnumString) override
    {
        if (dead()) return unavailable(ppIEnumString);
        const HRESULT hr = TestServer::BrowseOPCItemIDs(dwBrowseFilterType, szFilterCriteria, vtDataTypeFilter,
                                                        dwAccessRightsFilter, ppIEnumString);
        if (FAILED(hr)) return hr;
        platform::ComPtr<IEnumString> inner;
        inner.attach(*ppIEnumString);
        GoneEnumerator::wrap(std::move(inner), _clock, ppIEnumString);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override
    {
        return dead() ? unavailable(szItemID) : TestServer::GetItemID(szItemDataID, szItemID);
    }
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override
    {
        return dead() ? unavailable(ppIEnumString) : TestServer::BrowseAccessPaths(szItemID, ppIEnumString);
    }

    // --- IOPCBrowse ---------------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                                            DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                                            OPCITEMPROPERTIES** ppItemProperties) override
    {
        if (dead()) return unavailable(ppItemProperties);
        return TestServer::GetProperties(dwItemCount, pszItemIDs, bReturnPropertyValues, dwPropertyCount,
                                         pdwPropertyIDs, ppItemProperties);
    }
    HRESULT STDMETHODCALLTYPE Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                                     OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                                     BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                                     DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                                     OPCBROWSEELEMENT** ppBrowseElements) override
    {
        if (dead()) {
            // The point passed in is the server's to free, dead or not: its proxy frees it.
            if (pszContinuationPoint) {
                CoTaskMemFree(*pszContinuationPoint);
                *pszContinuationPoint = nullptr;
            }
            return unavailable(pbMoreElements, pdwCount, ppBrowseElements);
        }
        return TestServer::Browse(szItemID, pszContinuationPoint, dwMaxElementsReturned, dwBrowseFilter,
                                  szElementNameFilter, szVendorFilter, bReturnAllProperties, bReturnPropertyValues,
                                  dwPropertyCount, pdwPropertyIDs, pbMoreElements, pdwCount, ppBrowseElements);
    }

    // --- IOPCCommon -------------------------------------------------------------------------
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override
    {
        return dead() ? unavailable() : TestServer::SetLocaleID(dwLcid);
    }
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override
    {
        return dead() ? unavailable(pdwLcid) : TestServer::GetLocaleID(pdwLcid);
    }
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override
    {
        return dead() ? unavailable(pdwCount, pdwLcid) : TestServer::QueryAvailableLocaleIDs(pdwCount, pdwLcid);
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override
    {
        return dead() ? unavailable(ppString) : TestServer::GetErrorString(dwError, ppString);
    }
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override
    {
        return dead() ? unavailable() : TestServer::SetClientName(szName);
    }

    // --- IConnectionPointContainer ----------------------------------------------------------
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override
    {
        return dead() ? unavailable(ppEnum) : TestServer::EnumConnectionPoints(ppEnum);
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override
    {
        return dead() ? unavailable(ppCP) : TestServer::FindConnectionPoint(riid, ppCP);
    }

protected:
    kit::Group* createGroup(std::shared_ptr<kit::ServerCore> core, kit::GroupSettings settings) override
    {
        return new GoneGroup(std::move(core), std::move(settings), _clock);
    }
    std::unique_ptr<kit::ShutdownPoint> createShutdownPoint() override
    {
        return std::make_unique<GonePoint>(*this, _clock);
    }

private:
    bool dead() const { return _clock->dead(); }

    const std::shared_ptr<DeathClock> _clock;
};

} // namespace

HRESULT createTestServer(Fault fault, REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (fault == Fault::FactoryFails) return kFactoryFailure;
    if (fault == Fault::HangCreate) hang(fault);
    switch (fault) {
    case Fault::ShutdownRequest: return kit::createObject<NoticeServer>(riid, ppv);
    case Fault::Gone: return kit::createObject<GoneServer>(riid, ppv);
    default: return kit::createObject<TestServer>(riid, ppv, fault);
    }
}

void setSpaceHolder(SpaceHolder holder) { g_spaceHolder.store(holder); }

void readJournal(Fault fault, Journal* out)
{
    std::lock_guard lock(g_journalMutex);
    if (out) *out = g_journals[static_cast<BYTE>(fault)];
}

void endRunningHangs()
{
    {
        std::lock_guard lock(g_hangMutex);
        ++g_hangGeneration;
    }
    g_hangEnded.notify_all();
}

} // namespace servers::test
