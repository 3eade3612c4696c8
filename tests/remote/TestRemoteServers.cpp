// A server on another computer through its agent: the real tagvista-agent serving the shipped
// simulation server, started through a stand-in for ssh, and the proxies the program holds.
#include "platform/Platform.h"
#include "platform/remote/AgentHosts.h"
#include "servers/test/TestServers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace platform::remote;
using namespace std::chrono_literals;

const CLSID& simulationClsid()
{
    static const CLSID clsid = [] {
        CLSID id{};
        CLSIDFromString(OLESTR("{ACC7586C-576A-43C0-8917-1660FCCAD6FF}"), &id);
        return id;
    }();
    return clsid;
}

std::string systemText(DWORD code)
{
    char text[1024] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, sizeof text, nullptr);
    return text;
}

// Counts the blocks it is given and keeps the first one's item count.
class CountingSink final : public platform::ComObject<IAdviseSink> {
public:
    void STDMETHODCALLTYPE OnDataChange(FORMATETC* format, STGMEDIUM* medium) override
    {
        if (!format || !medium || medium->tymed != TYMED_HGLOBAL) return;
        const SIZE_T size = GlobalSize(medium->hGlobal);
        const auto* bytes = static_cast<const std::uint8_t*>(GlobalLock(medium->hGlobal));
        if (bytes && size >= 20 && blocks == 0) firstItemCount = bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | (bytes[7] << 24);
        GlobalUnlock(medium->hGlobal);
        ++blocks;
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

    std::atomic<int> blocks{0};
    std::atomic<std::uint32_t> firstItemCount{0};
};

template <class Predicate>
bool waitFor(Predicate predicate, std::chrono::milliseconds limit = 10s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class RemoteServers : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        _pidFile = fs::temp_directory_path() / ("tagvista-remote-agent-" + std::to_string(::getpid()) + ".pid");
        AgentSettings settings;
        settings.ssh = {TAGVISTA_TEST_FAKE_SSH};
        // The shell that runs the agent writes its number first, so a test can kill "the remote side".
        settings.agent = "echo $$ > '" + _pidFile.string() + "'; exec env TAGVISTA_CLASSES_PATH='" +
                         TAGVISTA_TEST_SHIPPED_CLASSES + ":" + TAGVISTA_TEST_CLASSES + "' " + TAGVISTA_TEST_AGENT +
                         " --stdio";
        setAgentSettings(settings);
        _name = platform::utf8ToUtf16("plc-7");
        _serverInfo.pwszName = _name.data();
    }
    void TearDown() override
    {
        closeAgents();
        setAgentSettings(agentSettingsFromEnvironment());
        fs::remove(_pidFile);
        CoUninitialize();
    }

    HRESULT create(platform::ComPtr<IOPCServer>& server, const CLSID& clsid = simulationClsid())
    {
        MULTI_QI query{&IID_IOPCServer, nullptr, S_OK};
        const HRESULT hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_ALL, &_serverInfo, 1, &query);
        if (SUCCEEDED(hr)) server.attach(static_cast<IOPCServer*>(query.pItf));
        return hr;
    }

    HRESULT addGroup(IOPCServer* server, platform::ComPtr<IUnknown>& group)
    {
        OPCHANDLE serverGroup = 0;
        DWORD revised = 0;
        return server->AddGroup(OLESTR(""), TRUE, 100, 1234, nullptr, nullptr, 0, &serverGroup, &revised, IID_IUnknown,
                                group.put());
    }

    // The group's stream advised to sink.
    HRESULT advise(IUnknown* group, IAdviseSink* sink, platform::ComPtr<IDataObject>& stream, DWORD& connection)
    {
        const HRESULT hr = group->QueryInterface(IID_IDataObject, stream.putVoid());
        if (FAILED(hr)) return hr;
        FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATATIME")), nullptr,
                         DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        return stream->DAdvise(&format, 0, sink, &connection);
    }

    fs::path _pidFile;
    platform::WideString _name;
    COSERVERINFO _serverInfo{};
};

TEST_F(RemoteServers, TheSimulationServerThereIsBrowsedAndStreamsThroughTheAgent)
{
    platform::ComPtr<IOPCServer> server;
    ASSERT_EQ(create(server), S_OK) << systemText(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));

    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    ASSERT_NE(status->szVendorInfo, nullptr);
    EXPECT_FALSE(platform::utf16ToUtf8(status->szVendorInfo).empty());
    EXPECT_NE(status->ftStartTime.dwHighDateTime, 0u);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    // The browser: the root's branches, then down one, its names one per Next as the program asks.
    platform::ComPtr<IOPCBrowseServerAddressSpace> browser;
    ASSERT_EQ(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browser.putVoid()), S_OK);
    auto names = [&](OPCBROWSETYPE type) {
        std::vector<std::string> found;
        platform::ComPtr<IEnumString> list;
        if (FAILED(browser->BrowseOPCItemIDs(type, OLESTR(""), VT_EMPTY, 0, list.put())) || !list) return found;
        for (;;) {
            LPOLESTR name = nullptr;
            ULONG fetched = 0;
            if (list->Next(1, &name, &fetched) != S_OK || fetched != 1) break;
            found.push_back(platform::utf16ToUtf8(name));
            CoTaskMemFree(name);
        }
        return found;
    };
    EXPECT_EQ(names(OPC_BRANCH), (std::vector<std::string>{"Plant", "Цех1", "Simulation"})) << "names of any script travel whole";
    ASSERT_EQ(browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Plant")), S_OK);
    EXPECT_FALSE(names(OPC_BRANCH).empty());
    EXPECT_NE(browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("No such branch")), S_OK);
    // The DA 3.0 browser: the root's branches, a page at a time through the continuation point.
    platform::ComPtr<IOPCBrowse> browse3;
    ASSERT_EQ(server->QueryInterface(IID_IOPCBrowse, browse3.putVoid()), S_OK);
    std::vector<std::string> branches;
    LPWSTR point = nullptr;
    WCHAR empty[] = OLESTR("");
    DWORD none = 0;
    for (int page = 0; page < 10; ++page) {
        BOOL more = FALSE;
        DWORD count = 0;
        OPCBROWSEELEMENT* elements = nullptr;
        ASSERT_EQ(browse3->Browse(empty, &point, 2, OPC_BROWSE_FILTER_BRANCHES, empty, empty, FALSE, FALSE, 0, &none, &more,
                                  &count, &elements),
                  S_OK);
        for (DWORD i = 0; i < count; ++i) {
            branches.push_back(platform::utf16ToUtf8(elements[i].szName));
            EXPECT_TRUE(elements[i].dwFlagValue & OPC_BROWSE_HASCHILDREN);
            CoTaskMemFree(elements[i].szName);
            CoTaskMemFree(elements[i].szItemID);
        }
        CoTaskMemFree(elements);
        if (!point || !*point) break;
    }
    CoTaskMemFree(point);
    EXPECT_EQ(branches, (std::vector<std::string>{"Plant", "Цех1", "Simulation"}));

    // A group with one good item and one unknown; its stream delivers blocks here.
    platform::ComPtr<IUnknown> group;
    ASSERT_EQ(addGroup(server.get(), group), S_OK);
    platform::ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(group->QueryInterface(IID_IOPCItemMgt, items.putVoid()), S_OK);
    platform::WideString good = platform::utf8ToUtf16("Plant/Line1/Motors/M101/Speed");
    platform::WideString bad = platform::utf8ToUtf16("Plant/No/Such/Item");
    platform::WideString path;
    OPCITEMDEF definitions[2]{};
    definitions[0] = OPCITEMDEF{path.data(), good.data(), TRUE, 7, 0, nullptr, VT_EMPTY, 0};
    definitions[1] = OPCITEMDEF{path.data(), bad.data(), TRUE, 8, 0, nullptr, VT_EMPTY, 0};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(items->AddItems(2, definitions, &results, &errors), S_FALSE);
    ASSERT_NE(results, nullptr);
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_NE(results[0].vtCanonicalDataType, VT_EMPTY);
    EXPECT_TRUE(FAILED(errors[1]));
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    platform::ComPtr<IDataObject> stream;
    auto* sink = new CountingSink;
    sink->AddRef();
    DWORD connection = 0;
    ASSERT_EQ(advise(group.get(), sink, stream, connection), S_OK);
    EXPECT_TRUE(waitFor([&] { return sink->blocks >= 2; })) << sink->blocks;
    EXPECT_EQ(sink->firstItemCount, 1u) << "the block as the server wrote it: the good item";
    EXPECT_EQ(stream->DUnadvise(connection), S_OK);
    const int after = sink->blocks;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sink->blocks, after) << "nothing reaches the sink after DUnadvise";
    EXPECT_EQ(stream->DUnadvise(connection), OLE_E_NOCONNECTION);
    sink->Release();
}

TEST_F(RemoteServers, TheRemoteSideGoingAwayDisconnectsItsObjects)
{
    platform::ComPtr<IOPCServer> server;
    ASSERT_EQ(create(server), S_OK) << systemText(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
    platform::ComPtr<IUnknown> group;
    ASSERT_EQ(addGroup(server.get(), group), S_OK);
    platform::ComPtr<IDataObject> stream;
    auto* sink = new CountingSink;
    sink->AddRef();
    DWORD connection = 0;
    ASSERT_EQ(advise(group.get(), sink, stream, connection), S_OK);

    pid_t agent = 0;
    std::ifstream(_pidFile) >> agent;
    ASSERT_GT(agent, 0);
    ASSERT_EQ(::kill(agent, SIGKILL), 0);

    OPCSERVERSTATUS* status = nullptr;
    EXPECT_TRUE(waitFor([&] { return server->GetStatus(&status) == RPC_E_DISCONNECTED; }));
    const std::string text = systemText(static_cast<DWORD>(RPC_E_DISCONNECTED));
    EXPECT_NE(text.find("plc-7: the ssh connection was cut (killed by signal 9)"), std::string::npos) << text;
    EXPECT_EQ(stream->DUnadvise(connection), S_OK) << "the sink is let go on a channel that has gone";
    sink->Release();

    // The next creation starts a new agent.
    platform::ComPtr<IOPCServer> again;
    EXPECT_EQ(create(again), S_OK);
}

TEST_F(RemoteServers, ManyConnectsAndDisconnectsShareOneAgent)
{
    std::string error;
    for (int cycle = 0; cycle < 200; ++cycle) {
        platform::ComPtr<IOPCServer> server;
        ASSERT_EQ(create(server), S_OK) << "cycle " << cycle;
        platform::ComPtr<IUnknown> group;
        ASSERT_EQ(addGroup(server.get(), group), S_OK) << "cycle " << cycle;
    }
    const auto channel = agentFor("plc-7", error);
    ASSERT_NE(channel, nullptr) << error;
    pid_t agent = 0;
    std::ifstream(_pidFile) >> agent;
    EXPECT_GT(agent, 0);
    EXPECT_FALSE(channel->ended());
}

// The agent answers requests side by side: a server whose call hangs there (two seconds) holds
// up its own caller, not another server's on the same channel.
TEST_F(RemoteServers, AHangingCallThereDoesNotHoldUpTheOthers)
{
    platform::ComPtr<IOPCServer> hanging;
    ASSERT_EQ(create(hanging, servers::test::clsidOf(servers::test::Fault::HangStatus)), S_OK);
    platform::ComPtr<IOPCServer> simulation;
    ASSERT_EQ(create(simulation), S_OK);
    std::atomic<bool> hangEnded{false};
    std::thread caller([&] {
        OPCSERVERSTATUS* status = nullptr;
        EXPECT_EQ(hanging->GetStatus(&status), S_OK);
        if (status) {
            CoTaskMemFree(status->szVendorInfo);
            CoTaskMemFree(status);
        }
        hangEnded = true;
    });
    std::this_thread::sleep_for(200ms);  // the hanging call is under way there
    for (int i = 0; i < 5; ++i) {
        OPCSERVERSTATUS* status = nullptr;
        ASSERT_EQ(simulation->GetStatus(&status), S_OK);
        EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }
    EXPECT_FALSE(hangEnded) << "the other server's calls were answered only after the hang";
    caller.join();
    EXPECT_TRUE(hangEnded);
}

TEST_F(RemoteServers, AnUnreachableComputerFailsWithTheServerUnavailableCode)
{
    AgentSettings settings = agentSettings();
    settings.agent = "tagvista-no-such-agent --stdio";
    setAgentSettings(settings);
    platform::ComPtr<IOPCServer> server;
    const HRESULT unavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(create(server), unavailable);
    const std::string text = systemText(static_cast<DWORD>(unavailable));
    EXPECT_NE(text.find("tagvista-no-such-agent: not found"), std::string::npos) << text;
}

} // namespace
