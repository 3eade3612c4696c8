#include "ServerTestSupport.h"

#include "servers/test/TestServerPaths.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace servertest {

namespace {

// The process as a client sees it: COM started, the classes root made of this build tree's
// registrations, and a user registry in a folder of its own (ctest runs test processes side by
// side), removed at the end.
class ServerEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tagvista-servers-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        _home = pattern;
        ::setenv("XDG_CONFIG_HOME", _home.c_str(), 1);
        ::setenv("TAGVISTA_CLASSES_PATH", servers::test::kClassesPath, 1);
        platform::registry::reload();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(_home, ec);
    }

private:
    std::string _home;
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

} // namespace servertest
