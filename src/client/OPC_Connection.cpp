#include "OPC_Connection.h"

#include "CallDeadlines.h"
#include "ErrorString.h"
#include "Exception.h"
#include "Host.h"
#include "Logger.h"
#include "OPC_DataCallback0.h"
#include "OPC_DataCallback2.h"
#include "OPC_ShutdownCallback.h"
#include "ServerWatch.h"
#include "WindowMessages.h"
#include "platform/ComRuntime.h"

#include <atomic>
#include <thread>

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
    } catch (const WorkGivenUp&) {
        // Given up: the connection has gone on without this worker; nothing of it is touched.
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

// A worker's completion step runs only when its work was not given up: the given-up step has
// then completed the work already, and the connection may be gone.
ConnectThread::ConnectThread(OPC_Connection* connection)
    : _connection(connection), _work(connection->newWork(true)), _session(connection->_data)
{
    setFreeOnTerminate(true);
    setOnTerminate([connection, work = _work] {
        if (!work->givenUp) connection->onConnect();
    });
}

void ConnectThread::execute()
{
    const std::string prefix = _connection->prefix();
    runCatching(_connection->_lastError, prefix, [this] { _connection->innerConnect(); });
}

DisconnectThread::DisconnectThread(OPC_Connection* connection)
    : _connection(connection), _work(connection->newWork(false)), _session(connection->_data)
{
    setFreeOnTerminate(true);
    setOnTerminate([connection, work = _work] {
        if (!work->givenUp) connection->onDisconnect();
    });
}

void DisconnectThread::execute()
{
    const std::string prefix = _connection->prefix();
    runCatching(_connection->_lastError, prefix, [this] { _connection->innerDisconnect(); });
}

// --- Lifecycle -------------------------------------------------------------------------------

namespace {
OPC_Connection::Timing processTiming;
} // namespace

void OPC_Connection::setDefaultTiming(const Timing& timing)
{
    processTiming = timing;
}

OPC_Connection::Timing OPC_Connection::defaultTiming()
{
    return processTiming;
}

OPC_Connection::OPC_Connection(Host* host, const GUID& clsid, std::string name)
    : OPC_Branch(nullptr, std::move(name)), _ownerHost(host), _clsid(clsid), _timing(processTiming)
{
}

OPC_Connection::Data::~Data()
{
    // Set only when a worker was given up before its tear-down: the record goes once that
    // worker's call has come back, so the server holds the sinks by its own references now.
    if (callback0) {
        callback0->detach();
        callback0->Release();
    }
    if (callback2) {
        callback2->detach();
        callback2->Release();
    }
    if (shutdownSink) {
        shutdownSink->detach();
        shutdownSink->Release();
    }
}

std::shared_ptr<ServerWork> OPC_Connection::newWork(bool connecting)
{
    auto work = std::make_shared<ServerWork>();
    // Runs only while this work is the connection's running one: the connection waits for
    // that before it goes.
    work->onGivenUp = [this, connecting](const char* call, std::chrono::milliseconds limit) {
        onWorkGivenUp(connecting, call, limit);
    };
    _work = work;
    return work;
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
    _endReason.clear();  // asked for: not the loss of the server
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
    _endReason.clear();
    _data = std::make_shared<Data>();
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
    if (_data && _data->watch && _data->iServer) {
        // Watched while connected; a disconnect asked for before this is carried out below.
        ServerWatch::start(_data->watch, _data->iServer.get(),
                           [this](const ServerWatch::Loss& loss) { onServerLost(loss.text, loss.gone, loss.hung); });
    }
    platform::Dispatcher::instance().send(WM_SERVER_READY, reinterpret_cast<WPARAM>(this), 0);
    runPendingRequest(true);
}

void OPC_Connection::onDisconnect()
{
    LOGG(6, "%s: onDisconnect()", prefix().c_str());
    _thread = nullptr;
    if (_lastError.empty()) _lastError = std::exchange(_endReason, std::string());
    platform::Dispatcher::instance().send(WM_SERVER_DISCONNECTED, reinterpret_cast<WPARAM>(this), 0);
    runPendingRequest(false);
}

void OPC_Connection::onServerLost(const std::string& text, bool gone, bool hung)
{
    // Only a connection that is connected now is ended here: a disconnect (or connect) that
    // runs already decides the outcome itself.
    if (_thread || !_data) return;
    LOGG(6, "%s: onServerLost()", prefix().c_str());
    _data->serverGone = gone;
    _data->serverHung = hung;
    startDisconnectWorker();
    _endReason = text;
}

void OPC_Connection::onWorkGivenUp(bool connecting, const char* call, std::chrono::milliseconds limit)
{
    const std::string text = deadlines::notAnsweredText(prefix(), call, limit);
    LOGG(2, "%s; the %s is given up, its thread left in the call", text.c_str(), connecting ? "connect" : "disconnect");
    dropSession();
    clear();
    _lastError = text;
    _thread = nullptr;
    platform::Dispatcher::instance().send(connecting ? WM_SERVER_READY : WM_SERVER_DISCONNECTED,
                                          reinterpret_cast<WPARAM>(this), 0);
    runPendingRequest(connecting);
}

void OPC_Connection::dropSession()
{
    if (!_data) return;
    // No delivery and no notice reaches this connection any more, whatever the server does.
    if (_data->callback0) _data->callback0->detach();
    if (_data->callback2) _data->callback2->detach();
    if (_data->shutdownSink) _data->shutdownSink->detach();
    if (_data->watch) {
        _data->watch->detach();
        _data->watch->stop();
    }
    // The worker that was given up holds the record too and lets it go when its call returns.
    // Should this be the last hold, the record's interfaces are let go on a thread of their own:
    // their Release calls into a server that may not answer.
    std::thread([session = std::move(_data)]() mutable { session.reset(); }).detach();
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

    platform::WideString computer = toWide(_ownerHost->name());
    COSERVERINFO serverInfo{};
    serverInfo.pwszName = computer.data();
    const bool local = _ownerHost->name() == "(local)";

    MULTI_QI query{&IID_IOPCServer, nullptr, S_OK};
    HRESULT hr = connectStep(
        "CoCreateInstanceEx",
        [&] {
            return CoCreateInstanceEx(_clsid, nullptr,
                                      CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                                          CLSCTX_REMOTE_SERVER,
                                      local ? nullptr : &serverInfo, 1, &query);
        },
        [&] {
            if (query.pItf) query.pItf->Release();
        });
    // A success without an interface would leave nothing to talk to: count it as the failure the
    // entry reports.
    if (SUCCEEDED(hr) && !query.pItf) hr = FAILED(query.hr) ? query.hr : E_NOINTERFACE;
    if (FAILED(hr)) {
        innerDisconnect();
        raiseLogged(textf("%s: CoGetClassObject() Failed: %s", prefix().c_str(), ErrorString(hr).c_str()));
    }
    _data->iServer.attach(static_cast<IOPCServer*>(query.pItf));
    LOGG(7, "%s: Successful connection", prefix().c_str());

    try {
        _data->watch = std::make_shared<ServerWatch>(prefix(), _timing.statusInterval, _timing.disconnectStep);
        adviseShutdown();
        logStatus();
        readItems();
        platform::Dispatcher::instance().send(WM_SERVER_CONNECTED, reinterpret_cast<WPARAM>(this), 0);
        subscribe();
    } catch (const CallNotAnswered&) {
        // A server that stopped answering leaves nothing to be connected to; its proxies are
        // let go without further calls.
        _data->serverGone = true;
        innerDisconnect();
        throw;
    }
}

void OPC_Connection::adviseShutdown()
{
    // Optional: a server without the connection point just sends no notices.
    IOPCServer* server = _data->iServer.get();
    platform::ComPtr<IConnectionPointContainer> container;
    HRESULT hr = connectStep("QueryInterface(IID_IConnectionPointContainer)", [&] {
        return server->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    });
    if (FAILED(hr) || !container) {
        LOGG(7, "%s: no shutdown notices: QueryInterface(IID_IConnectionPointContainer): %s", prefix().c_str(),
             ErrorString(FAILED(hr) ? hr : E_NOINTERFACE).c_str());
        return;
    }
    platform::ComPtr<IConnectionPoint> point;
    hr = connectStep("FindConnectionPoint(IID_IOPCShutdown)",
                     [&] { return container->FindConnectionPoint(IID_IOPCShutdown, point.put()); });
    if (FAILED(hr) || !point) {
        LOGG(7, "%s: no shutdown notices: FindConnectionPoint(IID_IOPCShutdown): %s", prefix().c_str(),
             ErrorString(FAILED(hr) ? hr : E_NOINTERFACE).c_str());
        return;
    }
    auto* sink = new OPC_ShutdownCallback(_data->watch);
    sink->AddRef();  // the reference shutdownSink holds
    _data->shutdownSink = sink;
    DWORD cookie = 0;
    hr = connectStep("IConnectionPoint::Advise", [&] { return point->Advise(sink, &cookie); });
    if (FAILED(hr)) {
        LOGG(2, "%s: IConnectionPoint::Advise(IOPCShutdown) Failed: %s", prefix().c_str(), ErrorString(hr).c_str());
        return;
    }
    _data->shutdownPoint = std::move(point);
    _data->shutdownCookie = cookie;
}

void OPC_Connection::unadviseShutdown()
{
    OPC_ShutdownCallback* sink = std::exchange(_data->shutdownSink, nullptr);
    if (_data->shutdownPoint && !_data->serverGone && !_data->serverHung) {
        IConnectionPoint* point = _data->shutdownPoint.get();
        const DWORD cookie = _data->shutdownCookie;
        const HRESULT hr = disconnectStep("IConnectionPoint::Unadvise", [&] { return point->Unadvise(cookie); });
        if (FAILED(hr))
            LOGG(7, "%s: IConnectionPoint::Unadvise(IOPCShutdown): %s", prefix().c_str(), ErrorString(hr).c_str());
    }
    if (!_data->serverHung) _data->shutdownPoint.reset();  // else left behind with the server
    if (!sink) return;
    sink->detach();
    sink->Release();  // our own reference; a server that keeps its own lets the sink live on, deaf
}

void OPC_Connection::stopWatch()
{
    if (!_data->watch) return;
    _data->watch->stop();
    // The status check uses the server object: it is released only once the check is over.
    if (!_data->watch->waitEnded(_timing.disconnectStep)) {
        LOGG(2, "%s: the status check did not end; the server object is left behind", prefix().c_str());
        _data->serverHung = true;
    }
}

void OPC_Connection::logStatus()
{
    OPCSERVERSTATUS* status = nullptr;
    IOPCServer* server = _data->iServer.get();
    const HRESULT hr = connectStep("GetStatus", [&] { return server->GetStatus(&status); }, [&] { freeStatus(status); });
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

    freeStatus(status);
}

void OPC_Connection::innerDisconnect()
{
    LOGG(6, "%s: innerDisconnect()", prefix().c_str());
    if (!_data) return;
    try {
        stopWatch();
        unadviseShutdown();
        unadvise();
        if (_data->serverHung) {
            // A server that never came back from a call is not called again, not even to be
            // released: a Release could hang as well, or free what that call still uses. The
            // status check that hangs lets them go should its call ever come back.
            LOGG(2, "%s: the server did not answer; its objects are left behind unreleased", prefix().c_str());
            struct Objects {
                platform::ComPtr<IConnectionPoint> shutdownPoint;
                platform::ComPtr<IConnectionPoint> callbackPoint;
                platform::ComPtr<IDataObject> dataObject;
                platform::ComPtr<IOPCItemMgt> itemMgt;
                platform::ComPtr<IUnknown> group;
                platform::ComPtr<IOPCServer> server;
            };
            auto objects = std::make_shared<Objects>(Objects{std::move(_data->shutdownPoint), std::move(_data->callbackPoint),
                                                             std::move(_data->iDataObject),
                                                             std::move(_data->itemMgt), std::move(_data->group),
                                                             std::move(_data->iServer)});
            // Hung only where a status check was given up, so the watch is there.
            if (_data->watch) _data->watch->leaveBehind(std::move(objects));
        } else {
            // The group's interfaces are given back before the server, so that the server can let
            // the group go when it goes itself.
            releaseInterface(_data->callbackPoint, "IConnectionPoint::Release");
            releaseInterface(_data->iDataObject, "IDataObject::Release");
            releaseInterface(_data->itemMgt, "IOPCItemMgt::Release");
            releaseInterface(_data->group, "Release(group)");
            releaseServer();
        }
        _data.reset();
        clear();
    } catch (const WorkGivenUp&) {
        throw;
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
        if (disconnectStep("IOPCServer::Release", [&] { return server->Release(); }) == 0) return;
    }
    LOGG(2, "%s: Release() did not reach 0 after %d calls; the server object is left behind", prefix().c_str(),
         kMaxServerReleases);
}
