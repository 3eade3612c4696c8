// IOPCShutdown between processes: the server object's connection point takes a client's sink
// from another process (the server asks the sink's proxy for IOPCShutdown, which only the
// registered proxy/stub answers), and a notice crosses with its reason intact. The notice comes
// from the shutdown peer, a process whose object offers the point and calls at once.
#include "OutOfProcessSupport.h"
#include "ShutdownPeer.h"

#include "servers/simulation/ProcessClasses.h"

namespace {

using namespace outofprocess;

ComPtr<IUnknown> identity(IUnknown* object)
{
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, unknown.putVoid()), S_OK);
    return unknown;
}

// The peer process, its output and input piped to the test; the input's end ends it.
class Peer {
public:
    Peer()
    {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr;
        if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return;
        if (!CreatePipe(&inRead, &_input, &inherit, 0)) return;
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(_input, HANDLE_FLAG_INHERIT, 0);
        _output = outRead;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inRead;
        startup.hStdOutput = outWrite;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        const std::wstring program = shutdownPeerProgram();
        std::wstring commandLine = L"\"" + program + L"\"";
        PROCESS_INFORMATION process{};
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                           nullptr, &startup, &process)) {
            CloseHandle(process.hThread);
            _process = process.hProcess;
        }
        CloseHandle(outWrite);
        CloseHandle(inRead);
    }
    ~Peer()
    {
        if (_process) {
            closeInput();
            if (WaitForSingleObject(_process, 0) != WAIT_OBJECT_0) TerminateProcess(_process, 99);
            CloseHandle(_process);
        }
        if (_output) CloseHandle(_output);
        closeInput();
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // The peer's object, from the line it writes first.
    HRESULT object(ComPtr<IConnectionPointContainer>& out)
    {
        if (!_process) return E_FAIL;
        std::string hex;
        char c = 0;
        DWORD read = 0;
        // The peer's standard output is in text mode: the line ends in CR LF.
        while (ReadFile(_output, &c, 1, &read, nullptr) && read == 1 && c != '\n')
            if (c != '\r') hex += c;
        if (hex.empty() || hex.size() % 2) return E_FAIL;
        ComPtr<IStream> stream;
        HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
        if (FAILED(hr)) return hr;
        std::vector<BYTE> bytes;
        for (std::size_t i = 0; i < hex.size(); i += 2) bytes.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        ULONG written = 0;
        hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
        if (FAILED(hr)) return hr;
        hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
        if (FAILED(hr)) return hr;
        return CoUnmarshalInterface(stream.get(), IID_IConnectionPointContainer, out.putVoid());
    }

    void closeInput()
    {
        if (_input) CloseHandle(_input);
        _input = nullptr;
    }
    // The peer's exit code once its input is closed; -1 when it has not ended by the deadline.
    int exitCode()
    {
        closeInput();
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline).count();
        if (WaitForSingleObject(_process, static_cast<DWORD>(wait)) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(_process, &code);
        return static_cast<int>(code);
    }

private:
    HANDLE _process = nullptr;
    HANDLE _output = nullptr;
    HANDLE _input = nullptr;
};

TEST(ShutdownNotice, TheServersShutdownPointTakesAndLetsGoOfASinkInAnotherProcess)
{
    ComPtr<IOPCServer> server;
    ASSERT_EQ(createLocal(servers::simulation::CLSID_TagvistaSimulationProcess, server), S_OK);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(server.as(container), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);
    ComPtr<IConnectionPoint> other;
    EXPECT_EQ(container->FindConnectionPoint(IID_IAdviseSink, other.put()), CONNECT_E_NOCONNECTION);

    IID iid{};
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCShutdown));
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(point->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_EQ(identity(back.get()).get(), identity(server.get()).get());

    ComPtr<ShutdownSink> sink = makeSink<ShutdownSink>();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.get(), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_GT(sink->refCount(), 1) << "the server holds the sink";
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    EXPECT_TRUE(sink->reasons().empty());
}

TEST(ShutdownNotice, ANoticeFromAnotherProcessArrivesWithItsReasonIntact)
{
    Peer peer;
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(peer.object(container), S_OK) << "the connection point container crosses without our proxy";
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);

    ComPtr<ShutdownSink> sink = makeSink<ShutdownSink>();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.get(), &cookie), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    EXPECT_EQ(sink->reasons(), std::vector<platform::WideString>{kPeerReason});
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    point.reset();
    container.reset();
    EXPECT_EQ(peer.exitCode(), kPeerDone);
}

} // namespace
