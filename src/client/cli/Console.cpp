#include "Console.h"

#include "StopSignals.h"
#include "client/WindowMessages.h"

#include <algorithm>

namespace cli {

namespace {

constexpr const char* kLocalHost = "(local)";

// The dispatcher's waits take a deadline; a wait without one is made of these.
constexpr std::chrono::hours kWaitSlice{1};

platform::Dispatcher& dispatcher()
{
    return platform::Dispatcher::instance();
}

} // namespace

Console::Console(const StopSignals& stop) : _stop(stop)
{
    dispatcher().bindMainThread();
    dispatcher().setHandler([this](UINT message, WPARAM wParam, LPARAM) { handle(message, wParam); });
    _com = std::make_unique<Co::Inner>();
}

Console::~Console()
{
    try {
        if (_connection) {
            disconnect();
            _connection.reset();
        }
        // The walk's worker points at the host until its completion step has run.
        if (_host) waitFor([this] { return !_host->busy(); }, false);
    } catch (...) {
        // A handler that throws now has nothing left to tell; the waits above are what matters.
    }
    dispatcher().setHandler(nullptr);
    dispatcher().removePosted(
        [](UINT message, WPARAM, LPARAM) { return message >= WM_HOST_CONNECTED && message <= WM_ITEM_NEW_VALUE; });
    _host.reset();
    _com.reset();
}

bool Console::stopped() const
{
    return _stop.requested();
}

bool Console::waitFor(const std::function<bool()>& done, bool honourStop)
{
    const auto finished = [&] { return done() || (honourStop && _stop.requested()); };
    while (!finished()) dispatcher().pumpUntil(finished, kWaitSlice);
    return done();
}

bool Console::listHost(const std::string& name)
{
    // The address is what the window shows beside a remote name; nothing here shows it, and a
    // lookup would only keep the command waiting for the resolver.
    const std::array<std::uint8_t, 4> address =
        name == kLocalHost ? std::array<std::uint8_t, 4>{127, 0, 0, 1} : std::array<std::uint8_t, 4>{0, 0, 0, 0};
    _hostListed = false;
    _error.clear();
    _host = std::make_unique<Host>(name, address);
    if (!waitFor([this] { return _hostListed; }, true)) return false;
    if (_host->listed()) return true;
    _error = _host->lastError().empty() ? "the servers of " + name + " could not be listed" : _host->lastError();
    return false;
}

bool Console::connect(const Host::OpcServerInfo& server, const OPC_Connection::Interfaces& interfaces)
{
    _ready = false;
    _closing = false;
    _lost = false;
    _error.clear();
    _items.clear();
    _early.clear();
    _connection = std::make_unique<OPC_Connection>(_host.get(), server.clsid, server.name);
    _connection->setInterfaces(interfaces);
    _connection->connect();
    if (!waitFor([this] { return _ready; }, true)) return false;
    if (!_connection->lastError().empty()) {
        _error = _connection->lastError();
        return false;
    }
    if (!_connection->connected()) {
        _error = server.name + ": the connection ended before it was ready";
        return false;
    }
    for (OPC_Item* item : _connection->items()) _items.insert(item);
    return true;
}

void Console::pumpValues(const ItemSink& sink, std::optional<std::chrono::steady_clock::time_point> deadline,
                         const std::function<void()>& everySecond)
{
    struct SinkScope {
        Console& console;
        ~SinkScope() { console._sink = nullptr; }
    } scope{*this};
    _sink = &sink;
    _sinkDone = false;

    std::vector<OPC_Item*> early;
    early.swap(_early);
    for (OPC_Item* item : early) {
        if (_sinkDone) return;
        onItemNewValue(item);
    }

    const auto done = [&] {
        return _sinkDone || _lost || _stop.requested() || (deadline && std::chrono::steady_clock::now() >= *deadline);
    };
    constexpr std::chrono::seconds kTick{1};
    auto nextTick = std::chrono::steady_clock::now() + kTick;
    const auto doneOrTick = [&] { return done() || (everySecond && std::chrono::steady_clock::now() >= nextTick); };
    while (!done()) {
        auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(kWaitSlice);
        const auto until = [&](std::chrono::steady_clock::time_point end) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
            slice = std::clamp(left, std::chrono::milliseconds(1), slice);
        };
        if (deadline) until(*deadline);
        if (everySecond) until(nextTick);
        dispatcher().pumpUntil(doneOrTick, slice);
        if (everySecond && std::chrono::steady_clock::now() >= nextTick) {
            everySecond();
            nextTick = std::chrono::steady_clock::now() + kTick;
        }
    }
}

void Console::disconnect()
{
    if (!_connection) return;
    _closing = true;
    _items.clear();
    _early.clear();
    if (_connection->idle()) return;
    _connection->disconnect();
    waitFor([this] { return _connection->idle(); }, false);
    // Whatever a callback thread posted before the subscription ended names items that are gone.
    dispatcher().removePosted([](UINT message, WPARAM, LPARAM) { return message == WM_ITEM_NEW_VALUE; });
}

void Console::handle(UINT message, WPARAM wParam)
{
    const void* object = reinterpret_cast<const void*>(wParam);
    switch (message) {
    case WM_HOST_CONNECTED:
        if (_host && object == _host.get()) _hostListed = true;
        break;
    case WM_SERVER_READY:
        if (_connection && object == _connection.get()) _ready = true;
        break;
    case WM_SERVER_DISCONNECTED:
        if (_connection && object == _connection.get() && _ready && !_closing) {
            _lost = true;
            _error = _connection->lastError().empty() ? _connection->name() + ": the connection ended"
                                                      : _connection->lastError();
        }
        break;
    case WM_ITEM_NEW_VALUE:
        onItemNewValue(reinterpret_cast<OPC_Item*>(wParam));
        break;
    default:
        break;  // WM_SERVER_CONNECTED: the waits look at the connection
    }
}

void Console::onItemNewValue(OPC_Item* item)
{
    // The pointer is compared before anything else: the item may be gone.
    if (_closing || !_connection) return;
    if (!_ready || !_sink) {
        // Still connecting, or nobody takes values yet: kept to be compared once the items are
        // known and a sink is there.
        _early.push_back(item);
        return;
    }
    if (_sinkDone || !_connection->connected() || !_items.contains(item)) return;
    if (!(*_sink)(*item)) _sinkDone = true;
}

} // namespace cli
