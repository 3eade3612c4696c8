// tagvista-shutdown-peer.exe: the other process of the shutdown tests (see ShutdownPeer.h). Its
// object is a connection point container and point in one, which is all a server object needs
// to be for a client that advises IOPCShutdown.
#include "ShutdownPeer.h"

#include "platform/Unknown.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace outofprocess;

class Notifier : public platform::ComObject<IConnectionPointContainer, IConnectionPoint> {
public:
    explicit Notifier(HANDLE advised) : _advised(advised) {}

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override
    {
        if (!ppCP) return E_POINTER;
        *ppCP = nullptr;
        if (!IsEqualIID(riid, IID_IOPCShutdown)) return CONNECT_E_NOCONNECTION;
        *ppCP = this;
        AddRef();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override
    {
        if (!pIID) return E_POINTER;
        *pIID = IID_IOPCShutdown;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override
    {
        if (!ppCPC) return E_POINTER;
        *ppCPC = this;
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override
    {
        if (!pUnkSink || !pdwCookie) return E_POINTER;
        *pdwCookie = 0;
        platform::ComPtr<IOPCShutdown> sink;
        if (FAILED(pUnkSink->QueryInterface(IID_IOPCShutdown, sink.putVoid())) || !sink) {
            _exit = kPeerNotIOPCShutdown;
            SetEvent(_advised);
            return CONNECT_E_CANNOTCONNECT;
        }
        // The notice goes from the peer's main thread once Advise has answered, as a server's
        // would: a proxy serves every thread of the multithreaded apartment.
        _sink = sink;
        *pdwCookie = 1;
        SetEvent(_advised);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override
    {
        if (dwCookie != 1 || !_sink) return CONNECT_E_NOCONNECTION;
        _sink.reset();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    // The sink advised, or null when none was (or it lacked IOPCShutdown).
    platform::ComPtr<IOPCShutdown> sink() const { return _sink; }
    int exitCode() const { return _exit; }

private:
    HANDLE _advised;
    platform::ComPtr<IOPCShutdown> _sink;
    std::atomic<int> _exit{kPeerNoSink};
};

// The object marshalled for another process, as hex digits.
bool marshalled(IUnknown* object, std::string& hex)
{
    platform::ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return false;
    if (FAILED(CoMarshalInterface(stream.get(), IID_IConnectionPointContainer, object, MSHCTX_LOCAL, nullptr,
                                  MSHLFLAGS_NORMAL)))
        return false;
    HGLOBAL memory = nullptr;
    if (FAILED(GetHGlobalFromStream(stream.get(), &memory))) return false;
    ULARGE_INTEGER size{};
    if (FAILED(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &size))) return false;
    const auto* bytes = static_cast<const unsigned char*>(GlobalLock(memory));
    if (!bytes) return false;
    for (ULONGLONG i = 0; i < size.QuadPart; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        hex += pair;
    }
    GlobalUnlock(memory);
    return true;
}

} // namespace

int main()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return kPeerNoCom;
    const HANDLE advised = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE inputClosed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    platform::ComPtr<Notifier> notifier(new Notifier(advised));
    std::string hex;
    if (!advised || !inputClosed || !marshalled(notifier->unknown(), hex)) return kPeerNoCom;
    std::printf("%s\n", hex.c_str());
    std::fflush(stdout);

    // The test closes the input when it is done; until then the object is served.
    std::thread reader([inputClosed] {
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        char buffer[64];
        DWORD read = 0;
        while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        }
        SetEvent(inputClosed);
    });
    int exit = kPeerNoSink;
    const HANDLE events[2] = {advised, inputClosed};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
        exit = notifier->exitCode();
        if (const platform::ComPtr<IOPCShutdown> sink = notifier->sink())
            exit = sink->ShutdownRequest(kPeerReason) == S_OK ? kPeerDone : kPeerRequestFailed;
    }
    reader.join();
    CoDisconnectObject(notifier->unknown(), 0);
    notifier.reset();
    CoUninitialize();
    return exit;
}
