// Connecting to the scale server: the time from connect() to WM_SERVER_CONNECTED (server created,
// status logged, whole address space read and numbered) and to WM_SERVER_READY (every item
// registered and the subscription made), and the client's memory per item.
//
//   bench_connect [repetitions]     sizes 100,000 (1,000 branches of 100) and 1,000,000 items
#include "BenchSupport.h"

#include "platform/ComRuntime.h"

int main(int argc, char** argv)
{
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 5;
    bench::Session session;
    std::printf("%-10s %14s %14s %16s %16s %14s\n", "items", "connected s", "ready s", "client heap B/it",
                "server heap B/it", "resident B/it");
    for (const DWORD branches : {DWORD(1000), DWORD(10000)}) {
        const double items = branches * 100.0;
        // A server that changes nothing after its first block, so the figures are the connect's.
        session.scale(branches, 100, 60000, 0);

        // What the server object costs on its own, to tell it from the client's share.
        std::vector<double> serverHeap;
        for (int r = 0; r < 2; ++r) {
            const double before = bench::heapInUse();
            IUnknown* server = nullptr;
            CoCreateInstance(servers::simulation::CLSID_TagvistaScale, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&server));
            serverHeap.push_back(bench::heapInUse() - before);
            if (server) server->Release();
        }

        std::vector<double> connected, ready, clientHeap, resident;
        for (int r = 0; r < repetitions; ++r) {
            auto connection = session.scaleConnection();
            bench::trimHeap();
            const double heapBefore = bench::heapInUse();
            const double residentBefore = bench::residentBytes();
            bench::Clock::time_point start, atConnected, atReady;
            session.onMessage = [&](UINT id, WPARAM) {
                if (id == WM_SERVER_CONNECTED) {
                    // The worker waits here: the tree and the table are complete, nothing else runs.
                    atConnected = bench::Clock::now();
                    clientHeap.push_back((bench::heapInUse() - heapBefore - bench::median(serverHeap)) / items);
                    resident.push_back((bench::residentBytes() - residentBefore) / items);
                } else if (id == WM_SERVER_READY) {
                    atReady = bench::Clock::now();
                }
            };
            start = bench::Clock::now();
            connection->connect();
            session.pumpUntil([&] { return !connection->busy(); });
            if (!connection->lastError().empty()) {
                std::fprintf(stderr, "%s\n", connection->lastError().c_str());
                return 1;
            }
            connected.push_back(bench::seconds(atConnected - start));
            ready.push_back(bench::seconds(atReady - start));
            connection->disconnect();
            session.pumpUntil([&] { return connection->idle(); });
            session.onMessage = nullptr;
        }
        std::printf("%-10.0f %14.3f %14.3f %16.0f %16.0f %14.0f\n", items, bench::median(connected),
                    bench::median(ready), bench::median(clientHeap), bench::median(serverHeap) / items,
                    bench::median(resident));
    }
    std::printf("(medians of %d runs; heap = bytes the allocator holds at WM_SERVER_CONNECTED)\n", repetitions);
    return 0;
}
