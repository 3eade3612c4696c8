// Data-change delivery: blocks of 10,000 changed items (nine in ten numeric, one in ten strings)
// through the sink's OnDataChange down to setValue and the posted WM_ITEM_NEW_VALUE, while the
// main thread drains the notifications and takes each item's changes; against a plain copy of the
// same blocks, in the same run.
//
//   bench_delivery [blocks per run] [runs]
#include "BenchSupport.h"

#include "client/OPC_DataCallback0.h"
#include "servers/kit/BlockWriter.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

constexpr std::size_t kItems = 10000;

// Four blocks with different values, as a server's successive updates would be.
std::vector<HGLOBAL> makeBlocks(std::size_t& bytes)
{
    std::vector<HGLOBAL> blocks;
    const servers::kit::BlockWriter writer;
    for (int variant = 0; variant < 4; ++variant) {
        std::vector<platform::Variant> values(kItems);
        std::vector<servers::kit::BlockItem> items(kItems);
        for (std::size_t i = 0; i < kItems; ++i) {
            VARIANT& v = *values[i].get();
            if (i % 10 == 9) {
                v.vt = VT_BSTR;
                const platform::WideString text = OLESTR("Text value ") + platform::WideString(1, WCHAR(OLESTR('A') + (i + variant) % 26));
                v.bstrVal = SysAllocString(text.c_str());
            } else if (i % 10 >= 6) {
                v.vt = VT_I4;
                v.lVal = static_cast<LONG>(i * 7 + variant);
            } else {
                v.vt = VT_R8;
                v.dblVal = double(i) * 0.125 + variant;
            }
            items[i].hClient = static_cast<OPCHANDLE>(i);
            items[i].quality = OPC_QUALITY_GOOD;
            items[i].timeStamp = FILETIME{static_cast<DWORD>(i), 0x01DB6000};
            items[i].value = &v;
        }
        blocks.push_back(writer.buildGlobal(items, 1234));
    }
    bytes = GlobalSize(blocks[0]);
    return blocks;
}

} // namespace

int main(int argc, char** argv)
{
    const int blocksPerRun = argc > 1 ? std::atoi(argv[1]) : 200;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    bench::Session session;
    // A connection with 10,000 items whose server sends its first block and then nothing.
    session.scale(100, 100, 60000, 0);
    auto connection = session.scaleConnection();
    connection->connect();
    session.pumpUntil([&] { return !connection->busy(); });
    if (!connection->connected() || connection->items().size() != kItems) {
        std::fprintf(stderr, "scale server not connected: %s\n", connection->lastError().c_str());
        return 1;
    }
    platform::Dispatcher::instance().processAll();

    std::size_t blockBytes = 0;
    std::vector<HGLOBAL> blocks = makeBlocks(blockBytes);
    auto* sink = new OPC_DataCallback0();
    sink->AddRef();
    sink->setConnection(connection.get());
    FORMATETC format{Co::dataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};

    // The consumer takes every notified item's changes, as a reader does before it reads the
    // record: the next change of the item notifies again, and every change is counted once.
    long drained = 0;
    session.onMessage = [&](UINT id, WPARAM w) {
        if (id == WM_ITEM_NEW_VALUE) drained += reinterpret_cast<const OPC_Item*>(w)->takeChanges();
    };

    std::vector<double> wallRate, cpuRate, copyRate;
    for (int run = 0; run < runs; ++run) {
        drained = 0;
        const long expected = long(blocksPerRun) * long(kItems);
        std::atomic<bool> producing{true};
        double producerCpu = 0;
        const auto start = bench::Clock::now();
        std::thread producer([&] {
            const double cpu0 = bench::threadCpuSeconds();
            for (int b = 0; b < blocksPerRun; ++b) {
                STGMEDIUM medium{};
                medium.tymed = TYMED_HGLOBAL;
                medium.hGlobal = blocks[std::size_t(b) % blocks.size()];
                sink->OnDataChange(&format, &medium);
            }
            producerCpu = bench::threadCpuSeconds() - cpu0;
            producing = false;
        });
        // The consumer: the main thread drains as the window's event loop would.
        while (producing || drained < expected) {
            if (platform::Dispatcher::instance().processAll() == 0) std::this_thread::yield();
        }
        producer.join();
        const double wall = bench::seconds(bench::Clock::now() - start);
        wallRate.push_back(double(expected) / wall);
        cpuRate.push_back(double(expected) / producerCpu);

        // The same blocks copied plainly, fifty times over: a copy takes too little for the
        // clock of thread times (15.6 ms steps on Windows), so it is timed by the wall clock, on
        // this one thread with nothing else running.
        constexpr int kCopyRounds = 50;
        std::vector<unsigned char> target(blockBytes);
        const auto copyStart = bench::Clock::now();
        for (int b = 0; b < blocksPerRun * kCopyRounds; ++b) {
            HGLOBAL block = blocks[std::size_t(b) % blocks.size()];
            const void* source = GlobalLock(block);
            std::memcpy(target.data(), source, GlobalSize(block));
            GlobalUnlock(block);
            asm volatile("" : : "r"(target.data()) : "memory");
        }
        copyRate.push_back(double(expected) * kCopyRounds / bench::seconds(bench::Clock::now() - copyStart));
    }
    sink->detach();
    sink->Release();
    for (HGLOBAL block : blocks) GlobalFree(block);
    connection->disconnect();
    session.pumpUntil([&] { return connection->idle(); });

    std::printf("block: %zu items (9 in 10 numeric, 1 in 10 strings), %zu bytes; %d blocks per run, %d runs\n",
                kItems, blockBytes, blocksPerRun, runs);
    std::printf("delivery, end to end (wall clock, consumer draining): %12.0f item changes/s\n", bench::median(wallRate));
    std::printf("delivery, per CPU second of the delivering thread:    %12.0f item changes/s\n", bench::median(cpuRate));
    std::printf("plain copy of the same blocks:                       %12.0f items/s\n", bench::median(copyRate));
    std::printf("ratio delivery (per CPU second) / plain copy:         %12.4f\n",
                bench::median(cpuRate) / bench::median(copyRate));
    return 0;
}
