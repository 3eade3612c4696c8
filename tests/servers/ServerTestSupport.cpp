#include "ServerTestSupport.h"

#include "servers/test/TestRegistry.h"

#include <algorithm>
#include <memory>

namespace servertest {

namespace {

// The process as a client sees it: COM started, the classes root of this build tree's servers,
// and a user registry of its own (ctest runs test processes side by side), removed at the end.
class ServerEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        _registry = std::make_unique<servers::test::TestRegistry>();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    }
    void TearDown() override { _registry.reset(); }

private:
    std::unique_ptr<servers::test::TestRegistry> _registry;
};

const auto* const environment = testing::AddGlobalTestEnvironment(new ServerEnvironment);

} // namespace

std::vector<platform::WideString> drain(IEnumString* e, std::size_t limit)
{
    std::vector<platform::WideString> out;
    if (!e) return out;
    while (out.size() < limit) {
        LPOLESTR s = nullptr;
        ULONG fetched = 0;
        const HRESULT hr = e->Next(1, &s, &fetched);
        if (hr != S_OK || fetched != 1) break;
        out.emplace_back(s);
        CoTaskMemFree(s);
    }
    return out;
}

std::vector<platform::WideString> browse(IOPCBrowseServerAddressSpace* b, OPCBROWSETYPE type, const WCHAR* filter,
                                   VARTYPE vt, DWORD rights, HRESULT* result)
{
    ComPtr<IEnumString> e;
    const HRESULT hr = b->BrowseOPCItemIDs(type, filter, vt, rights, e.put());
    if (result) *result = hr;
    return drain(e.get());
}

HRESULT addItem(IOPCItemMgt* items, const platform::WideString& id, OPCHANDLE hClient, OPCITEMRESULT* result,
                VARTYPE requested, BOOL active)
{
    platform::WideString path;
    platform::WideString itemId = id;
    OPCITEMDEF def{};
    def.szAccessPath = path.data();
    def.szItemID = itemId.data();
    def.bActive = active;
    def.hClient = hClient;
    def.vtRequestedDataType = requested;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = items->AddItems(1, &def, &results, &errors);
    if (FAILED(hr)) return hr;
    const HRESULT itemError = errors[0];
    if (result) *result = results[0];
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return itemError;
}

HRESULT addGroup(IOPCServer* server, const WCHAR* name, DWORD rate, ComPtr<IOPCItemMgt>& group,
                 OPCHANDLE* serverHandle, DWORD* revised, OPCHANDLE clientHandle)
{
    OPCHANDLE handle = 0;
    DWORD revisedRate = 0;
    const HRESULT hr = server->AddGroup(name, TRUE, rate, clientHandle, nullptr, nullptr, 0, &handle, &revisedRate,
                                        IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(group.put()));
    if (serverHandle) *serverHandle = handle;
    if (revised) *revised = revisedRate;
    return hr;
}

FORMATETC streamFormat(const char* name)
{
    return FORMATETC{static_cast<CLIPFORMAT>(RegisterClipboardFormatA(name)), nullptr, DVASPECT_CONTENT, -1,
                     TYMED_HGLOBAL};
}

DWORD BlockReader::u32(std::size_t at) const
{
    DWORD v = 0;
    EXPECT_LE(at + 4, _b.size()) << "read past the block";
    if (at + 4 <= _b.size()) std::memcpy(&v, _b.data() + at, 4);
    return v;
}

WORD BlockReader::u16(std::size_t at) const
{
    WORD v = 0;
    EXPECT_LE(at + 2, _b.size()) << "read past the block";
    if (at + 2 <= _b.size()) std::memcpy(&v, _b.data() + at, 2);
    return v;
}

platform::WideString BlockReader::text(DWORD i) const
{
    const std::size_t at = offset(i) + 16;
    const DWORD bytes = u32(at);
    platform::WideString s(bytes / 2, OLESTR('\0'));
    EXPECT_LE(at + 4 + bytes, _b.size());
    if (at + 4 + bytes <= _b.size()) std::memcpy(s.data(), _b.data() + at + 4, bytes);
    return s;
}

std::vector<OPCHANDLE> BlockReader::clients() const
{
    std::vector<OPCHANDLE> out;
    for (DWORD i = 0; i < count(); ++i) out.push_back(client(i));
    return out;
}

void RecordingSink::OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed)
{
    Call call{};
    call.format = pFormatetc ? pFormatetc->cfFormat : 0;
    call.tymed = pStgmed ? pStgmed->tymed : 0;
    call.nullHandle = !pStgmed || !pStgmed->hGlobal;
    if (!call.nullHandle) {
        const SIZE_T size = GlobalSize(pStgmed->hGlobal);
        if (const void* p = GlobalLock(pStgmed->hGlobal)) {
            call.block.assign(static_cast<const BYTE*>(p), static_cast<const BYTE*>(p) + size);
            GlobalUnlock(pStgmed->hGlobal);
        }
    }
    {
        std::lock_guard lock(_mutex);
        _calls.push_back(std::move(call));
    }
    _changed.notify_all();
    if (onCall) onCall();
}

bool RecordingSink::waitFor(std::size_t n, std::chrono::steady_clock::duration deadline)
{
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, deadline, [&] { return _calls.size() >= n; });
}

std::vector<RecordingSink::Call> RecordingSink::calls() const
{
    std::lock_guard lock(_mutex);
    return _calls;
}

std::size_t RecordingSink::callCount() const
{
    std::lock_guard lock(_mutex);
    return _calls.size();
}

int CallbackSink::Call::find(OPCHANDLE handle) const
{
    const auto it = std::find(handles.begin(), handles.end(), handle);
    return it == handles.end() ? -1 : static_cast<int>(it - handles.begin());
}

HRESULT CallbackSink::OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                   DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                   FILETIME* pftTimeStamps, HRESULT* pErrors)
{
    Call call;
    call.transid = dwTransid;
    call.group = hGroup;
    call.masterQuality = hrMasterquality;
    call.masterError = hrMastererror;
    call.count = dwCount;
    call.nullArray[Handles] = !phClientItems;
    call.nullArray[Values] = !pvValues;
    call.nullArray[Qualities] = !pwQualities;
    call.nullArray[TimeStamps] = !pftTimeStamps;
    call.nullArray[Errors] = !pErrors;
    const DWORD n = std::min(dwCount, kMaxEntries);
    call.handles.assign(n, 0);
    call.values.resize(n);
    call.qualities.assign(n, 0);
    call.timeStamps.assign(n, FILETIME{});
    call.errors.assign(n, S_OK);
    for (DWORD i = 0; i < n; ++i) {
        if (phClientItems) call.handles[i] = phClientItems[i];
        if (pvValues) VariantCopy(call.values[i].get(), &pvValues[i]);
        if (pwQualities) call.qualities[i] = pwQualities[i];
        if (pftTimeStamps) call.timeStamps[i] = pftTimeStamps[i];
        if (pErrors) call.errors[i] = pErrors[i];
    }
    {
        std::lock_guard lock(_mutex);
        _calls.push_back(std::move(call));
    }
    _changed.notify_all();
    if (onCall) onCall();
    return S_OK;
}

HRESULT CallbackSink::OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                     HRESULT*)
{
    std::lock_guard lock(_mutex);
    ++_otherCalls;
    return S_OK;
}

HRESULT CallbackSink::OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*)
{
    std::lock_guard lock(_mutex);
    ++_otherCalls;
    return S_OK;
}

HRESULT CallbackSink::OnCancelComplete(DWORD, OPCHANDLE)
{
    std::lock_guard lock(_mutex);
    ++_otherCalls;
    return S_OK;
}

bool CallbackSink::waitFor(std::size_t n, std::chrono::steady_clock::duration deadline)
{
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, deadline, [&] { return _calls.size() >= n; });
}

std::vector<CallbackSink::Call> CallbackSink::calls() const
{
    std::lock_guard lock(_mutex);
    return _calls;
}

std::size_t CallbackSink::callCount() const
{
    std::lock_guard lock(_mutex);
    return _calls.size();
}

std::size_t CallbackSink::otherCalls() const
{
    std::lock_guard lock(_mutex);
    return _otherCalls;
}

void Gate::hold()
{
    std::unique_lock lock(_m);
    _inside = true;
    _cv.notify_all();
    _cv.wait(lock, [this] { return _open; });
}

bool Gate::waitInside()
{
    std::unique_lock lock(_m);
    return _cv.wait_for(lock, kDeadline, [this] { return _inside; });
}

void Gate::open()
{
    std::lock_guard lock(_m);
    _open = true;
    _cv.notify_all();
}

HRESULT ShutdownSink::ShutdownRequest(LPCWSTR szReason)
{
    {
        std::lock_guard lock(_mutex);
        _reasons.emplace_back(szReason ? szReason : OLESTR("<null>"));
    }
    _changed.notify_all();
    if (onCall) onCall();
    return S_OK;
}

bool ShutdownSink::waitFor(std::size_t n, std::chrono::steady_clock::duration deadline)
{
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, deadline, [&] { return _reasons.size() >= n; });
}

std::vector<platform::WideString> ShutdownSink::reasons() const
{
    std::lock_guard lock(_mutex);
    return _reasons;
}

void setUserDword(const char* path, const char* name, DWORD value)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void deleteUserValue(const char* path, const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

bool readKey(HKEY root, const std::string& path, KeyValues& values)
{
    values.clear();
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        BYTE data[2048];
        DWORD dataSize = sizeof data;
        DWORD type = REG_NONE;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
        const std::string valueName(name, nameSize);
        if (type == REG_SZ) {
            std::string text(reinterpret_cast<const char*>(data), dataSize);
            while (!text.empty() && text.back() == '\0') text.pop_back();
            values[valueName] = text;
        } else if (type == REG_DWORD && dataSize == sizeof(DWORD)) {
            DWORD number;
            std::memcpy(&number, data, sizeof number);
            values[valueName] = number;
        } else {
            values[valueName] = "<type " + std::to_string(type) + ">";
        }
    }
    RegCloseKey(key);
    return true;
}

std::vector<std::string> keysBelow(HKEY root, const std::string& path)
{
    std::vector<std::string> out;
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
    std::vector<std::string> children;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        children.emplace_back(name, nameSize);
    }
    RegCloseKey(key);
    for (const std::string& child : children) {
        out.push_back(child);
        for (const std::string& below : keysBelow(root, path + "\\" + child)) out.push_back(child + "\\" + below);
    }
    return out;
}

void expectRegistered(HKEY root, const servers::kit::ClassRegistration& c,
                      const std::function<void(const std::string&)>& checkLibrary)
{
    SCOPED_TRACE(c.progId);
    constexpr const char* kLibrary = "<library>";
    std::vector<std::string> expectedKeys;
    for (const servers::kit::RegistryKey& key : servers::kit::registrationKeys(c, kLibrary)) {
        expectedKeys.push_back(key.path);
        KeyValues actual;
        if (!readKey(root, key.path, actual)) {
            ADD_FAILURE() << "missing key " << key.path;
            continue;
        }
        KeyValues expected;
        for (const servers::kit::RegistryValue& v : key.values) expected[v.name] = v.data;
        const auto library = expected.find("");
        if (library != expected.end() && library->second == KeyValues::mapped_type(std::string(kLibrary))) {
            const auto found = actual.find("");
            if (found == actual.end() || !std::holds_alternative<std::string>(found->second)) {
                ADD_FAILURE() << key.path << " names no library";
            } else {
                checkLibrary(std::get<std::string>(found->second));
                actual.erase(found);
            }
            expected.erase(library);
        }
        EXPECT_EQ(actual, expected) << key.path;
    }
    // Nothing below the owned keys beyond what the registration writes.
    for (const std::string& owned : servers::kit::ownedKeys(c)) {
        for (const std::string& below : keysBelow(root, owned)) {
            const std::string path = owned + "\\" + below;
            EXPECT_NE(std::find(expectedKeys.begin(), expectedKeys.end(), path), expectedKeys.end()) << "extra key " << path;
        }
    }
}

void expectNotRegistered(HKEY root, const servers::kit::ClassRegistration& c)
{
    for (const std::string& owned : servers::kit::ownedKeys(c)) {
        KeyValues values;
        EXPECT_FALSE(readKey(root, owned, values)) << owned << " is left";
    }
}

} // namespace servertest
