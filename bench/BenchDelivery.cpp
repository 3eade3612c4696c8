// Data-change delivery: 10,000 changed items a call (nine in ten numeric, one in ten strings)
// through a sink's OnDataChange down to setValue and the posted WM_ITEM_NEW_VALUE, while the main
// thread drains the notifications and takes each item's changes: the same values as DA 1.0 stream
// blocks and as DA 2.0 callback arrays, against a plain copy of the blocks, in the same run.
//
//   bench_delivery [blocks per run] [runs]
#include "BenchSupport.h"

#include "client/OPC_DataCallback0.h"
#include "client/OPC_DataCallback2.h"
#include "servers/kit/BlockWriter.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

namespace {

constexpr std::size_t kItems = 10000;

// The arguments of one DA 2.0 callback.
struct CallbackArrays {
    std::vector<OPCHANDLE> handles;
    std::vector<platform::Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> stamps;
    std::vector<HRESULT> errors;
};

// Four updates with different values, as a server's successive updates would be: as blocks and
// as callback arrays.
std::vector<HGLOBAL> makeBlocks(std::size_t& bytes, std::vector<CallbackArrays>& arrays)
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
        CallbackArrays& call = arrays.emplace_back();
        for (const servers::kit::BlockItem& item : items) {
            call.handles.push_back(item.hClient);
            call.qualities.push_back(item.quality);
            call.stamps.push_back(item.timeStamp);
            call.errors.push_back(S_OK);
        }
        call.values = std::move(values);
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
    std::vector<CallbackArrays> arrays;
    std::vector<HGLOBAL> blocks = makeBlocks(blockBytes, arrays);
    auto* sink = new OPC_DataCallback0();
    sink->AddRef();
    sink->setConnection(connection.get());
    auto* sink2 = new OPC_DataCallback2(OPC_Connection::kClientGroup);
    sink2->AddRef();
    sink2->setConnection(connection.get());
    FORMATETC format{Co::dataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};

    // The consumer takes every notified item's changes, as a reader does before it reads the
    // record: the next change of the item notifies again, and every change is counted once.
    long drained = 0;
    session.onMessage = [&](UINT id, WPARAM w) {
        if (id == WM_ITEM_NEW_VALUE) drained += reinterpret_cast<const OPC_Item*>(w)->takeChanges();
    };

    // One run of a path: the calls on a producer thread, the main thread draining.
    const auto measure = [&](const std::function<void(int)>& deliver, std::vector<double>& wallRate,
                             std::vector<double>& cpuRate) {
        drained = 0;
        const long expected = long(blocksPerRun) * long(kItems);
        std::atomic<bool> producing{true};
        double producerCpu = 0;
        const auto start = bench::Clock::now();
        std::thread producer([&] {
            const double cpu0 = bench::threadCpuSeconds();
            for (int b = 0; b < blocksPerRun; ++b) deliver(b);
            producerCpu = bench::threadCpuSeconds() - cpu0;
            producing = false;
        });
        while (producing || drained < expected) {
            if (platform::Dispatcher::instance().processAll() == 0) std::this_thread::yield();
        }
        producer.join();
        const double wall = bench::seconds(bench::Clock::now() - start);
        wallRate.push_back(double(expected) / wall);
        cpuRate.push_back(double(expected) / producerCpu);
    };
    const auto throughStream = [&](int b) {
        STGMEDIUM medium{};
        medium.tymed = TYMED_HGLOBAL;
        medium.hGlobal = blocks[std::size_t(b) % blocks.size()];
        sink->OnDataChange(&format, &medium);
    };
    const auto throughCallback = [&](int b) {
        CallbackArrays& call = arrays[std::size_t(b) % arrays.size()];
        // The values as a proxy hands them over: one array of VARIANTs.
        static_assert(sizeof(platform::Variant) == sizeof(VARIANT));
        sink2->OnDataChange(0, OPC_Connection::kClientGroup, S_OK, S_OK, static_cast<DWORD>(kItems),
                            call.handles.data(), reinterpret_cast<VARIANT*>(call.values.data()),
                            call.qualities.data(), call.stamps.data(), call.errors.data());
    };

    std::vector<double> wallRate, cpuRate, wallRate2, cpuRate2, copyRate;
    for (int run = 0; run < runs; ++run) {
        measure(throughStream, wallRate, cpuRate);
        measure(throughCallback, wallRate2, cpuRate2);

        // The same blocks copied plainly, fifty times over: a copy takes too little for the
        // clock of thread times (15.6 ms steps on Windows), so it is timed by the wall clock, on
        // this one thread with nothing else running.
        const long expected = long(blocksPerRun) * long(kItems);
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
    sink2->detach();
    sink2->Release();
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
    std::printf("DA 2.0 callback, end to end (wall clock):             %12.0f item changes/s\n", bench::median(wallRate2));
    std::printf("DA 2.0 callback, per CPU second of the calling thread: %11.0f item changes/s\n", bench::median(cpuRate2));
    std::printf("ratio callback / stream (per CPU second):             %12.4f\n",
                bench::median(cpuRate2) / bench::median(cpuRate));
    return 0;
}
