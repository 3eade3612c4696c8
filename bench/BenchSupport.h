// Helpers of the engine's benchmark programs: a scratch user registry for the scale server's
// size, a scale server connection driven on this thread's dispatcher, medians and memory figures.
#pragma once

#include "client/Host.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "client/WindowMessages.h"
#include "BenchSystem.h"
#include "platform/Registry.h"
#include "servers/simulation/SimulationClasses.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double median(std::vector<double> values)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A user registry of its own (the scale server reads its size there) and COM started.
class Session {
public:
    Session()
    {
        logg::Logger::instance().setFileName("");
        logg::Logger::instance().setConsole(-1);
        logg::Logger::instance().setLevel(0);
        platform::Dispatcher::instance().bindMainThread();
        platform::Dispatcher::instance().setHandler([this](UINT id, WPARAM w, LPARAM) {
            if (onMessage) onMessage(id, w);
        });
        _host = std::make_unique<Host>("(local)", std::array<std::uint8_t, 4>{127, 0, 0, 1});
        pumpUntil([&] { return !_host->busy(); });
    }

    // The scale server's size for the next object made.
    void scale(DWORD branches, DWORD itemsPerBranch, DWORD updateRate, DWORD changingPercent)
    {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_CURRENT_USER, servers::simulation::kScaleUserKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr);
        const std::pair<const char*, DWORD> values[] = {{"Branches", branches}, {"ItemsPerBranch", itemsPerBranch},
                                                        {"Depth", 1}, {"UpdateRate", updateRate},
                                                        {"ChangingPercent", changingPercent}};
        for (const auto& [name, value] : values)
            RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }

    std::unique_ptr<OPC_Connection> scaleConnection()
    {
        return connection(servers::simulation::CLSID_TagvistaScale, servers::simulation::kScaleProgId);
    }
    std::unique_ptr<OPC_Connection> connection(const CLSID& clsid, const char* name)
    {
        return std::make_unique<OPC_Connection>(_host.get(), clsid, name);
    }
    // Another computer, walked; its connections are made with connection(host, ...).
    Host* addHost(const std::string& name)
    {
        _others.push_back(std::make_unique<Host>(name, std::array<std::uint8_t, 4>{127, 0, 0, 1}));
        Host* host = _others.back().get();
        pumpUntil([&] { return !host->busy(); });
        return host;
    }
    std::unique_ptr<OPC_Connection> connection(Host* host, const CLSID& clsid, const char* name)
    {
        return std::make_unique<OPC_Connection>(host, clsid, name);
    }

    void pumpUntil(const std::function<bool()>& done)
    {
        if (!platform::Dispatcher::instance().pumpUntil(done, std::chrono::minutes(10))) {
            std::fprintf(stderr, "timed out\n");
            std::exit(1);
        }
    }

    std::function<void(UINT, WPARAM)> onMessage;

    // One run of a connection: its connect (to WM_SERVER_CONNECTED and to WM_SERVER_READY, in
    // seconds), then the item changes offered per second over deliverySeconds once the first
    // full block is a second behind, then its disconnect. The rows' changes are taken as the
    // window takes them, so that every item notifies again. deliveryStarts and deliveryEnds (with
    // the changes counted) bracket the counted time. False, with the error written, when the
    // connect fails.
    struct Run {
        double connected = 0;
        double ready = 0;
        double changesPerSecond = 0;
    };
    bool run(OPC_Connection& connection, double deliverySeconds, Run& figures,
             const std::function<void()>& deliveryStarts = {},
             const std::function<void(double changes)>& deliveryEnds = {})
    {
        Clock::time_point start, atConnected, atReady;
        bool itemsExist = false;  // from WM_SERVER_CONNECTED until the disconnect is asked for
        onMessage = [&](UINT id, WPARAM w) {
            if (id == WM_SERVER_CONNECTED) {
                atConnected = Clock::now();
                itemsExist = true;
            }
            if (id == WM_SERVER_READY) atReady = Clock::now();
            if (id == WM_ITEM_NEW_VALUE && itemsExist) reinterpret_cast<OPC_Item*>(w)->takeChanges();
        };
        start = Clock::now();
        connection.connect();
        pumpUntil([&] { return !connection.busy(); });
        if (!connection.lastError().empty() || !connection.connected()) {
            std::fprintf(stderr, "%s\n", connection.lastError().c_str());
            onMessage = nullptr;
            return false;
        }
        figures.connected = seconds(atConnected - start);
        figures.ready = seconds(atReady - start);

        const auto settle = Clock::now() + std::chrono::seconds(1);
        pumpUntil([&] { return Clock::now() >= settle; });
        if (deliveryStarts) deliveryStarts();
        const std::uint64_t before = connection.changesOffered();
        const auto from = Clock::now();
        const auto until =
            from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(deliverySeconds));
        pumpUntil([&] { return Clock::now() >= until; });
        const double changes = static_cast<double>(connection.changesOffered() - before);
        figures.changesPerSecond = changes / seconds(Clock::now() - from);
        if (deliveryEnds) deliveryEnds(changes);

        itemsExist = false;
        connection.disconnect();
        pumpUntil([&] { return connection.idle(); });
        onMessage = nullptr;
        // What the sink posted before the subscription ended names items that are gone.
        platform::Dispatcher::instance().removePosted([](UINT id, WPARAM, LPARAM) { return id == WM_ITEM_NEW_VALUE; });
        return true;
    }

private:
    ScratchSettings _settings;  // before COM and the host, so the servers read it
    Co::Inner _com;
    std::unique_ptr<Host> _host;
    std::vector<std::unique_ptr<Host>> _others;
};

} // namespace bench
