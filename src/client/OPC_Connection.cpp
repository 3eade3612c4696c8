#include "OPC_Connection.h"

#include "ErrorString.h"
#include "Exception.h"
#include "Host.h"
#include "Logger.h"
#include "OPC_DataCallback0.h"
#include "WindowMessages.h"
#include "platform/ComRuntime.h"

#include <atomic>

using platform::ComPtr;

// --- COM start-up ----------------------------------------------------------------------------

namespace Co {
namespace {
std::atomic<bool> comStarted{false};
std::atomic<CLIPFORMAT> dataTimeFormatNumber{0};
} // namespace

Inner::Inner()
{
    if (!comStarted) {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) raiseLogged(textf("CoInitializeEx() Failed: %s", ErrorString(hr).c_str()));
        hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                  nullptr, EOAC_NONE, nullptr);
        if (FAILED(hr)) raiseLogged(textf("CoInitializeSecurity() Failed: %s", ErrorString(hr).c_str()));
        comStarted = true;
    }
    dataTimeFormatNumber = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(OPCSTMFORMATDATATIME));
}

Inner::~Inner()
{
    comStarted = false;
}

bool started()
{
    return comStarted;
}

CLIPFORMAT dataTimeFormat()
{
    return dataTimeFormatNumber;
}

} // namespace Co

// --- Workers ---------------------------------------------------------------------------------

namespace {

// What a worker's body does with a failure: the text of an Exception, or a fixed text for
// anything else, whose cause goes to the log (the Exception was logged where it was raised).
// Nothing escapes the worker.
template <class Work>
void runCatching(std::string& lastError, const std::string& prefix, Work work)
{
    try {
        work();
    } catch (const Exception& e) {
        lastError = e.message();
    } catch (const std::bad_alloc&) {
        LOGG(2, "%s: the work failed: not enough memory", prefix.c_str());
        lastError = "Неизвестная ошибка";
    } catch (const std::exception& e) {
        LOGG(2, "%s: the work failed: %s", prefix.c_str(), e.what());
        lastError = "Неизвестная ошибка";
    } catch (...) {
        LOGG(2, "%s: the work failed: an exception of an unknown type", prefix.c_str());
        lastError = "Неизвестная ошибка";
    }
}

} // namespace

ConnectThread::ConnectThread(OPC_Connection* connection) : _connection(connection)
{
    setFreeOnTerminate(true);
    setOnTerminate([connection] { connection->onConnect(); });
}

void ConnectThread::execute()
{
    runCatching(_connection->_lastError, _connection->prefix(), [this] { _connection->innerConnect(); });
}

DisconnectThread::DisconnectThread(OPC_Connection* connection) : _connection(connection)
{
    setFreeOnTerminate(true);
    setOnTerminate([connection] { connection->onDisconnect(); });
}

void DisconnectThread::execute()
{
    runCatching(_connection->_lastError, _connection->prefix(), [this] { _connection->innerDisconnect(); });
}

// --- Lifecycle -------------------------------------------------------------------------------

OPC_Connection::OPC_Connection(Host* host, const GUID& clsid, std::string name)
    : OPC_Branch(nullptr, std::move(name)), _ownerHost(host), _clsid(clsid)
{
}

OPC_Connection::~OPC_Connection()
{
    // A worker holds a pointer to this connection: the object may go only after the disconnect
    // has run to its end and its completion step has been handed over.
    disconnect();
    platform::Dispatcher::instance().waitUntil([this] { return _thread == nullptr && _pending == Request::None; });
}

std::string OPC_Connection::prefix() const
{
    return _ownerHost->name() + "|" + name();
}

const std::vector<OPC_Item*>& OPC_Connection::items() const
{
    static const std::vector<OPC_Item*> none;
    return _data ? _data->items : none;
}

void OPC_Connection::connect()
{
    LOGG(6, "%s: connect()", prefix().c_str());
    if (_thread) {
        LOGG(7, "%s: connect: waiting for disconnect", prefix().c_str());
        _pending = Request::Connect;
        return;
    }
    if (_data) {
        LOGG(7, "%s: connect: already connected", prefix().c_str());
        return;
    }
    startConnectWorker();
}

void OPC_Connection::disconnect()
{
    LOGG(6, "%s: disconnect()", prefix().c_str());
    if (_thread) {
        LOGG(7, "%s: connect: waiting for connect", prefix().c_str());
        // A disconnect that is already running needs no second one.
        _pending = dynamic_cast<DisconnectThread*>(_thread) ? Request::None : Request::Disconnect;
        _thread->terminate();
        return;
    }
    if (!_data) {
        LOGG(7, "%s: connect: already disconnected", prefix().c_str());
        return;
    }
    startDisconnectWorker();
}

void OPC_Connection::startConnectWorker()
{
    _lastError.clear();
    auto* worker = new ConnectThread(this);
    _thread = worker;
    worker->start();
}

void OPC_Connection::startDisconnectWorker()
{
    _lastError.clear();
    auto* worker = new DisconnectThread(this);
    _thread = worker;
    worker->start();
}

void OPC_Connection::onConnect()
{
    LOGG(6, "%s: onConnect()", prefix().c_str());
    _thread = nullptr;
    platform::Dispatcher::instance().send(WM_SERVER_READY, reinterpret_cast<WPARAM>(this), 0);
    runPendingRequest(true);
}

void OPC_Connection::onDisconnect()
{
    LOGG(6, "%s: onDisconnect()", prefix().c_str());
    _thread = nullptr;
    platform::Dispatcher::instance().send(WM_SERVER_DISCONNECTED, reinterpret_cast<WPARAM>(this), 0);
    runPendingRequest(false);
}

void OPC_Connection::runPendingRequest(bool afterConnect)
{
    // The handler of the notification just sent may itself have asked for something; it has then
    // started a worker already or left a request, which is what runs here.
    if (_thread) return;
    const Request request = std::exchange(_pending, Request::None);
    switch (request) {
    case Request::None:
        break;
    case Request::Connect:
        if (_data) {
            LOGG(7, "%s: connect: already connected", prefix().c_str());
        } else {
            startConnectWorker();
        }
        break;
    case Request::Disconnect:
        if (_data) {
            startDisconnectWorker();
        } else {
            LOGG(7, "%s: connect: already disconnected", prefix().c_str());
            // The connect failed before the server existed: the disconnect asked for is complete,
            // and whoever asked (a close request counts on it) hears so.
            if (afterConnect)
                platform::Dispatcher::instance().send(WM_SERVER_DISCONNECTED, reinterpret_cast<WPARAM>(this), 0);
        }
        break;
    }
}

// --- Session ---------------------------------------------------------------------------------

void OPC_Connection::innerConnect()
{
    LOGG(6, "%s: innerConnect()", prefix().c_str());
    LOGG(7, "%s: CLSID: {%8X-%4X-%4X-%2X%2X%2X%2X%2X%2X%2X%2X}", prefix().c_str(), static_cast<unsigned>(_clsid.Data1), _clsid.Data2,
         _clsid.Data3, _clsid.Data4[0], _clsid.Data4[1], _clsid.Data4[2], _clsid.Data4[3], _clsid.Data4[4],
         _clsid.Data4[5], _clsid.Data4[6], _clsid.Data4[7]);

    if (!_data) _data = std::make_unique<Data>();
    *_data = Data{};

    platform::WideString computer = toWide(_ownerHost->name());
    COSERVERINFO serverInfo{};
    serverInfo.pwszName = computer.data();
    const bool local = _ownerHost->name() == "(local)";

    MULTI_QI query{&IID_IOPCServer, nullptr, S_OK};
    HRESULT hr = CoCreateInstanceEx(_clsid, nullptr,
                                    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                                        CLSCTX_REMOTE_SERVER,
                                    local ? nullptr : &serverInfo, 1, &query);
    // A success without an interface would leave nothing to talk to: count it as the failure the
    // entry reports.
    if (SUCCEEDED(hr) && !query.pItf) hr = FAILED(query.hr) ? query.hr : E_NOINTERFACE;
    if (FAILED(hr)) {
        innerDisconnect();
        raiseLogged(textf("%s: CoGetClassObject() Failed: %s", prefix().c_str(), ErrorString(hr).c_str()));
    }
    _data->iServer.attach(static_cast<IOPCServer*>(query.pItf));
    LOGG(7, "%s: Successful connection", prefix().c_str());

    logStatus();
    readItems();
    platform::Dispatcher::instance().send(WM_SERVER_CONNECTED, reinterpret_cast<WPARAM>(this), 0);
    advise0();
}

void OPC_Connection::logStatus()
{
    OPCSERVERSTATUS* status = nullptr;
    const HRESULT hr = _data->iServer->GetStatus(&status);
    if (FAILED(hr)) {
        LOGG(2, "%s: GetStatus() Failed: %s", prefix().c_str(), ErrorString(hr).c_str());
        return;
    }
    if (!status) return;

    struct Time {
        const char* name;
        const FILETIME& value;
    };
    for (const Time& time : {Time{"StartTime", status->ftStartTime}, Time{"CurrentTime", status->ftCurrentTime},
                             Time{"LastUpdateTime", status->ftLastUpdateTime}}) {
        SYSTEMTIME st;
        if (!FileTimeToSystemTime(&time.value, &st)) {
            // The conversion's own error code (ERROR_INVALID_PARAMETER for a time out of range).
            LOGG(2, "%s: FileTimeToSystemTime(%s) Failed: %s", prefix().c_str(), time.name,
                 ErrorString(GetLastError()).c_str());
        } else {
            LOGG(5, "%s: %s = %04d/%02d/%02d %d:%02d:%02d:%03d", prefix().c_str(), time.name, st.wYear, st.wMonth,
                 st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
        }
    }

    const int state = static_cast<std::int8_t>(status->dwServerState & 0xFF);
    static const char* const names[] = {"OPC_STATUS_RUNNING", "OPC_STATUS_FAILED", "OPC_STATUS_NOCONFIG",
                                        "OPC_STATUS_SUSPENDED", "OPC_STATUS_TEST", "OPC_STATUS_COMM_FAULT"};
    const std::string stateName = state >= 1 && state <= 6 ? names[state - 1] : std::to_string(state);
    LOGG(5, "%s: ServerState = %s", prefix().c_str(), stateName.c_str());
    LOGG(5, "%s: Version = %d.%d.%d", prefix().c_str(), status->wMajorVersion, status->wMinorVersion,
         status->wBuildNumber);

    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

void OPC_Connection::innerDisconnect()
{
    LOGG(6, "%s: innerDisconnect()", prefix().c_str());
    if (!_data) return;
    try {
        unadvise();
        // The group's interfaces are given back before the server, so that the server can let the
        // group go when it goes itself.
        _data->iDataObject.reset();
        _data->itemMgt.reset();
        _data->group.reset();
        releaseServer();
        _data.reset();
        clear();
    } catch (...) {
        // Tear-down swallows its errors; what was done stays done.
    }
}

void OPC_Connection::releaseServer()
{
    IOPCServer* server = _data->iServer.detach();
    if (!server) return;
    // Released until the count reaches 0, which also disposes of references the server counts
    // for us without our having them one by one. A server whose count never reaches 0 would keep
    // this loop going for ever, so it is bounded.
    for (int calls = 1; calls <= kMaxServerReleases; ++calls) {
        if (server->Release() == 0) return;
    }
    LOGG(2, "%s: Release() did not reach 0 after %d calls; the server object is left behind", prefix().c_str(),
         kMaxServerReleases);
}
