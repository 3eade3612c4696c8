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

std::shared_ptr<const kit::AddressSpace> buildSpace(Fault fault)
{
    if (fault == Fault::EndlessTree) return std::make_shared<EndlessSpace>();
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
    if (fault == Fault::DuplicateNames) {
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
                sendLateBlock(f.sink.get(), f.format, i);
                record(_fault, [](Journal& j) {
                    ++j.blocksDelivered;
                    ++j.blocksAfterRelease;
                });
            }
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if ((_fault == Fault::NoItemMgt && IsEqualIID(riid, IID_IOPCItemMgt)) ||
            (_fault == Fault::NoDataObject && IsEqualIID(riid, IID_IDataObject))) {
            if (ppv) *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return Group::QueryInterface(riid, ppv);
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
        if (_fault == Fault::AdviseFails) {
            if (pdwConnection) *pdwConnection = 0;
            return kFailure;
        }
        const HRESULT hr = Group::DAdvise(pformatetc, advf, pAdvSink, pdwConnection);
        if (_fault == Fault::HangAdvise) hang(_fault);
        if (_fault == Fault::CallbacksAfterUnadvise && SUCCEEDED(hr) && pdwConnection) {
            std::lock_guard lock(_forgottenMutex);
            _advised.push_back({*pdwConnection, pformatetc->cfFormat, platform::ComPtr<IAdviseSink>(pAdvSink)});
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

private:
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

    struct Forgotten {
        DWORD connection;
        CLIPFORMAT format;
        platform::ComPtr<IAdviseSink> sink;
    };

    const Fault _fault;
    std::mutex _forgottenMutex;
    std::vector<Forgotten> _advised;    // CallbacksAfterUnadvise: the sinks it was given
    std::vector<Forgotten> _forgotten;  // ... and those it was told to forget
};

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
        if (_fault == Fault::NoBrowse && IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace)) {
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

protected:
    kit::Group* createGroup(std::shared_ptr<kit::ServerCore> core, kit::GroupSettings settings) override
    {
        return new TestGroup(std::move(core), std::move(settings), _fault);
    }

private:
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

class GonePoint : public kit::ShutdownPoint {
public:
    GonePoint(IConnectionPointContainer& container, std::shared_ptr<DeathClock> clock)
        : ShutdownPoint(container), _clock(std::move(clock)) {}

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override
    {
        return _clock->dead() ? unavailable(pIID) : ShutdownPoint::GetConnectionInterface(pIID);
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override
    {
        return _clock->dead() ? unavailable(ppCPC) : ShutdownPoint::GetConnectionPointContainer(ppCPC);
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override
    {
        return _clock->dead() ? unavailable(pdwCookie) : ShutdownPoint::Advise(pUnkSink, pdwCookie);
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override
    {
        return _clock->dead() ? unavailable() : ShutdownPoint::Unadvise(dwCookie);
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override
    {
        return _clock->dead() ? unavailable(ppEnum) : ShutdownPoint::EnumConnections(ppEnum);
    }

private:
    const std::shared_ptr<DeathClock> _clock;
};

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

protected:
    void deliver(const Outgoing& out) override
    {
        // Dead servers send nothing; the journal lets a test see that the update went by.
        if (dead()) record(Fault::Gone, [](Journal& j) { ++j.blocksWithheld; });
        else TestGroup::deliver(out);
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
