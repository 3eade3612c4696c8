// Helpers of the server tests: the process set up as a client sees it (COM started, the classes
// root made of this build's registrations, a user registry of its own), servers created through
// the registry, a sink that records blocks, and a reader for the fields of a block. Test thread
// unless noted.
#pragma once

#include "platform/ComRuntime.h"
#include "platform/OpcDa.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "platform/Variant.h"
#include "servers/kit/Registration.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace servertest {

using namespace std::chrono_literals;
using platform::ComPtr;

// Generous: a loaded machine running the sanitizer builds is slow, and a deadline only costs
// time when something is wrong.
constexpr auto kDeadline = 20s;

inline platform::WideString u16(const std::string& utf8) { return platform::utf8ToUtf16(utf8); }
inline std::string u8(platform::WideStringView text) { return platform::utf16ToUtf8(text); }

// Creates an object of the class through CoCreateInstanceEx and asks for T.
template <class T>
HRESULT create(const CLSID& clsid, ComPtr<T>& out)
{
    MULTI_QI qi{&platform::iidOf<T>(), nullptr, S_OK};
    const HRESULT hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, &qi);
    if (FAILED(hr)) return hr;
    if (FAILED(qi.hr)) return qi.hr;
    out.attach(static_cast<T*>(qi.pItf));
    return S_OK;
}

// Every string an enumerator gives, one Next(1) at a time as the client asks; stops at limit.
std::vector<platform::WideString> drain(IEnumString* e, std::size_t limit = 100000);
// Browses at the server's current position.
std::vector<platform::WideString> browse(IOPCBrowseServerAddressSpace* b, OPCBROWSETYPE type, const WCHAR* filter = OLESTR(""),
                                   VARTYPE vt = VT_EMPTY, DWORD rights = 0, HRESULT* result = nullptr);

// Adds one item as the client does (access path "", requested type as given); returns the
// item's error and fills the result.
HRESULT addItem(IOPCItemMgt* items, const platform::WideString& id, OPCHANDLE hClient, OPCITEMRESULT* result = nullptr,
                VARTYPE requested = VT_EMPTY, BOOL active = TRUE);

// Adds a group; the interface asked for is IOPCItemMgt.
HRESULT addGroup(IOPCServer* server, const WCHAR* name, DWORD rate, ComPtr<IOPCItemMgt>& group,
                 OPCHANDLE* serverHandle = nullptr, DWORD* revised = nullptr, OPCHANDLE clientHandle = 1);

FORMATETC streamFormat(const char* name = OPCSTMFORMATDATATIME);

// Fields of a block read with bounds checks (a test that reads past the end fails, not crashes).
class BlockReader {
public:
    explicit BlockReader(std::vector<BYTE> bytes, bool withTime = true) : _b(std::move(bytes)), _withTime(withTime) {}
    const std::vector<BYTE>& bytes() const { return _b; }
    DWORD u32(std::size_t at) const;
    WORD u16(std::size_t at) const;
    DWORD size() const { return u32(0); }
    DWORD count() const { return u32(4); }
    DWORD clientGroup() const { return u32(8); }
    HRESULT status() const { return static_cast<HRESULT>(u32(16)); }
    std::size_t header(DWORD i) const { return 20 + i * (_withTime ? 20 : 12); }
    OPCHANDLE client(DWORD i) const { return u32(header(i)); }
    DWORD offset(DWORD i) const { return u32(header(i) + 4); }
    WORD quality(DWORD i) const { return u16(header(i) + 8); }
    VARTYPE vt(DWORD i) const { return u16(offset(i)); }
    LONG i4(DWORD i) const { return static_cast<LONG>(u32(offset(i) + 8)); }
    // The string of a VT_BSTR record.
    platform::WideString text(DWORD i) const;
    std::vector<OPCHANDLE> clients() const;

private:
    std::vector<BYTE> _b;
    bool _withTime;
};

// A sink that copies every block it gets, with the format and whether the handle was null.
// Callbacks arrive on the server's thread; the accessors lock.
class RecordingSink : public platform::ComObject<IAdviseSink> {
public:
    struct Call {
        CLIPFORMAT format;
        DWORD tymed;
        bool nullHandle;
        std::vector<BYTE> block;
    };

    void STDMETHODCALLTYPE OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) override;
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

    // Runs inside every callback, after the block was recorded (server thread).
    std::function<void()> onCall;

    // Waits until at least n calls arrived; false at the deadline.
    bool waitFor(std::size_t n, std::chrono::steady_clock::duration deadline = kDeadline);
    std::vector<Call> calls() const;
    std::size_t callCount() const;

    RecordingSink() = default;

private:
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Call> _calls;
};

// A sink for the DA 2.0 callback that copies every OnDataChange: the scalars, which of the five
// arrays were null, and the entries of those that were not (up to dwCount, at most kMaxEntries).
// Calls arrive on the server's thread; the accessors lock.
class CallbackSink : public platform::ComObject<IOPCDataCallback> {
public:
    static constexpr DWORD kMaxEntries = 100000;
    enum Array { Handles, Values, Qualities, TimeStamps, Errors, kArrays };
    struct Call {
        DWORD transid = 0;
        OPCHANDLE group = 0;
        HRESULT masterQuality = S_OK;
        HRESULT masterError = S_OK;
        DWORD count = 0;
        bool nullArray[kArrays] = {};
        // Entries of a null array stay zero (values VT_EMPTY).
        std::vector<OPCHANDLE> handles;
        std::vector<platform::Variant> values;
        std::vector<WORD> qualities;
        std::vector<FILETIME> timeStamps;
        std::vector<HRESULT> errors;

        // The entry of a client handle; -1 when none has it.
        int find(OPCHANDLE handle) const;
    };

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                           HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                           VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                           HRESULT* pErrors) override;
    // The other three are no part of a subscription: counted, never expected.
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override;
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override;

    // Runs inside every OnDataChange, after the call was recorded (server thread).
    std::function<void()> onCall;

    bool waitFor(std::size_t n, std::chrono::steady_clock::duration deadline = kDeadline);
    std::vector<Call> calls() const;
    std::size_t callCount() const;
    std::size_t otherCalls() const;

private:
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Call> _calls;
    std::size_t _otherCalls = 0;
};

// Holds the server's thread inside each call of a sink until the test opens the gate.
class Gate {
public:
    void hold();
    bool waitInside();
    void open();

private:
    std::mutex _m;
    std::condition_variable _cv;
    bool _inside = false;
    bool _open = false;
};

// A client's shutdown sink: records each reason. Calls arrive on the server's thread; the
// accessors lock.
class ShutdownSink : public platform::ComObject<IOPCShutdown> {
public:
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR szReason) override;

    // Runs inside every call, after the reason was recorded (server thread).
    std::function<void()> onCall;

    // Waits until at least n calls arrived; false at the deadline.
    bool waitFor(std::size_t n, std::chrono::steady_clock::duration deadline = kDeadline);
    std::vector<platform::WideString> reasons() const;

private:
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<platform::WideString> _reasons;
};

// A new sink with the test's one reference.
template <class T>
ComPtr<T> makeSink()
{
    return ComPtr<T>(new T);
}

// Sets HKEY_CURRENT_USER\<path> <name> to a DWORD (the user file of this test process).
void setUserDword(const char* path, const char* name, DWORD value);
void deleteUserValue(const char* path, const char* name);

// A key read back: its values by name ("" the default), REG_SZ as text, REG_DWORD as a number,
// any other type as the text "<type n>". False when the key does not exist.
using KeyValues = std::map<std::string, std::variant<std::string, DWORD>>;
bool readKey(HKEY root, const std::string& path, KeyValues& values);
// The paths of every key below path, relative to it, at every depth.
std::vector<std::string> keysBelow(HKEY root, const std::string& path);

// Whether root holds the registration of the class exactly: every key registrationKeys() gives,
// with exactly its values, and no other key below the keys the class owns. The default value of
// InprocServer32 goes to checkLibrary instead of being compared.
void expectRegistered(HKEY root, const servers::kit::ClassRegistration& c,
                      const std::function<void(const std::string&)>& checkLibrary);
// Whether none of the keys the class owns is left.
void expectNotRegistered(HKEY root, const servers::kit::ClassRegistration& c);

} // namespace servertest
