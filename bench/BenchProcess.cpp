// The scale server in process (tagvista-simulation.dll) against the same server out of process
// (tagvista-simserver.exe, through the proxy/stub), in one run: the connect of 100,000 items
// (to WM_SERVER_CONNECTED and to WM_SERVER_READY) and the rate at which their data changes
// arrive while the server changes every item at its fastest rate; each through the DA 1.0 stream
// and through the DA 2.0 callback.
//
//   bench_process [repetitions] [seconds of delivery]
//
// Needs tagvista-simulation.dll and tagvista-opcproxy.dll registered (regsvr32) and
// tagvista-simserver.exe /RegServer run.
#include "BenchSupport.h"

#include "servers/simulation/ProcessClasses.h"

namespace {

struct Figures {
    double connected = 0;
    double ready = 0;
    double changesPerSecond = 0;
};

bool measure(bench::Session& session, const CLSID& clsid, const char* name, OPC_Connection::Subscription subscription,
             int repetitions, double deliverySeconds, Figures& figures)
{
    std::vector<double> connected, ready, rate;
    for (int r = 0; r < repetitions; ++r) {
        auto connection = session.connection(clsid, name);
        connection->setInterfaces({.subscription = subscription});
        bench::Clock::time_point start, atConnected, atReady;
        bool itemsExist = false;  // from WM_SERVER_CONNECTED until the disconnect is asked for
        session.onMessage = [&](UINT id, WPARAM w) {
            if (id == WM_SERVER_CONNECTED) {
                atConnected = bench::Clock::now();
                itemsExist = true;
            }
            if (id == WM_SERVER_READY) atReady = bench::Clock::now();
            // Taken as the window takes a row's changes, so that the item notifies again.
            if (id == WM_ITEM_NEW_VALUE && itemsExist) reinterpret_cast<OPC_Item*>(w)->takeChanges();
        };
        start = bench::Clock::now();
        connection->connect();
        session.pumpUntil([&] { return !connection->busy(); });
        if (!connection->lastError().empty() || !connection->connected()) {
            std::fprintf(stderr, "%s: %s\n", name, connection->lastError().c_str());
            return false;
        }
        connected.push_back(bench::seconds(atConnected - start));
        ready.push_back(bench::seconds(atReady - start));

        // The first full block is behind us once a second has passed; the rate counts the
        // records the sink received from then on.
        const auto settle = bench::Clock::now() + std::chrono::seconds(1);
        session.pumpUntil([&] { return bench::Clock::now() >= settle; });
        const std::uint64_t before = connection->changesOffered();
        const auto from = bench::Clock::now();
        const auto until = from + std::chrono::duration_cast<bench::Clock::duration>(
                                      std::chrono::duration<double>(deliverySeconds));
        session.pumpUntil([&] { return bench::Clock::now() >= until; });
        rate.push_back(static_cast<double>(connection->changesOffered() - before) /
                       bench::seconds(bench::Clock::now() - from));

        itemsExist = false;
        connection->disconnect();
        session.pumpUntil([&] { return connection->idle(); });
        session.onMessage = nullptr;
        // What the sink posted before the subscription ended names items that are gone.
        platform::Dispatcher::instance().removePosted([](UINT id, WPARAM, LPARAM) { return id == WM_ITEM_NEW_VALUE; });
    }
    figures = {bench::median(connected), bench::median(ready), bench::median(rate)};
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const double deliverySeconds = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 5.0;
    bench::Session session;
    // 100,000 items, every one changing at the server's fastest rate.
    session.scale(1000, 100, 10, 100);

    struct Row {
        const char* label;
        CLSID clsid;
        const char* name;
        OPC_Connection::Subscription subscription;
        Figures figures;
    };
    using Subscription = OPC_Connection::Subscription;
    Row rows[] = {
        {"in process, stream", servers::simulation::CLSID_TagvistaScale, servers::simulation::kScaleProgId,
         Subscription::Stream, {}},
        {"in process, callback", servers::simulation::CLSID_TagvistaScale, servers::simulation::kScaleProgId,
         Subscription::Callback, {}},
        {"out of process, stream", servers::simulation::CLSID_TagvistaScaleProcess,
         servers::simulation::kScaleProcessProgId, Subscription::Stream, {}},
        {"out of process, callback", servers::simulation::CLSID_TagvistaScaleProcess,
         servers::simulation::kScaleProcessProgId, Subscription::Callback, {}},
    };
    for (Row& row : rows) {
        if (!measure(session, row.clsid, row.name, row.subscription, repetitions, deliverySeconds, row.figures)) return 1;
    }

    std::printf("%-26s %14s %14s %18s\n", "100,000 items", "connected s", "ready s", "changes/s");
    for (const Row& row : rows)
        std::printf("%-26s %14.3f %14.3f %18.0f\n", row.label, row.figures.connected, row.figures.ready,
                    row.figures.changesPerSecond);
    std::printf("(medians of %d runs; changes/s = item records received over %.0f s, server update rate 10 ms)\n",
                repetitions, deliverySeconds);
    return 0;
}
