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
        bench::Session::Run run;
        if (!session.run(*connection, deliverySeconds, run)) return false;
        connected.push_back(run.connected);
        ready.push_back(run.ready);
        rate.push_back(run.changesPerSecond);
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
