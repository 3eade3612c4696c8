// How fast the server kit turns 100,000 changed items into data-change blocks, the way a group's
// update thread does: sample every item of the scale server's address space at a new step, then
// write the block into global memory. Blocks per second and bytes per second; run with the
// default repetitions and read the medians.
#include "servers/kit/BlockWriter.h"
#include "servers/simulation/ScaleSpace.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using servers::kit::BlockItem;
using servers::kit::BlockWriter;
using servers::simulation::ScaleAddressSpace;
using servers::simulation::ScaleConfig;

constexpr int kRepetitions = 5;

// 1000 branches of 100 items, every item changing: 60 % VT_R8, 20 % VT_I4, 10 % VT_BOOL,
// 10 % VT_BSTR.
ScaleConfig hundredThousand()
{
    ScaleConfig c;
    c.branches = 1000;
    c.itemsPerBranch = 100;
    c.depth = 1;
    c.updateRate = 100;
    c.changingPercent = 100;
    return c;
}

struct Sampled {
    std::vector<VARIANT> values;
    std::vector<BlockItem> items;

    explicit Sampled(std::size_t n) : values(n), items(n)
    {
        for (VARIANT& v : values) VariantInit(&v);
    }
    ~Sampled() { clear(); }
    void clear()
    {
        for (VARIANT& v : values) VariantClear(&v);
    }
    // Reads every item at a step, as a group's update thread does for changed items.
    void sample(const ScaleAddressSpace& space, std::uint64_t ms)
    {
        clear();
        for (std::size_t i = 0; i < values.size(); ++i) {
            BlockItem& b = items[i];
            b.hClient = static_cast<OPCHANDLE>(i + 1);
            space.read(i, ms, values[i], b.quality, b.timeStamp);
            b.value = &values[i];
        }
    }
};

void setRates(benchmark::State& state, std::size_t bytes, std::size_t items)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
    state.counters["blocks_per_second"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                             benchmark::Counter::kIsRate);
    state.counters["block_bytes"] = static_cast<double>(bytes);
}

// The whole update: sample 100,000 items at a new step, write the block into global memory,
// free it (what the sink's callback sees in between is not measured).
void BM_SampleAndWriteBlock(benchmark::State& state)
{
    const ScaleAddressSpace space(hundredThousand());
    const std::size_t n = static_cast<std::size_t>(space.config().itemCount());
    Sampled sampled(n);
    const BlockWriter writer(BlockWriter::Format::DataTime);
    std::uint64_t ms = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        ms += space.config().updateRate;
        sampled.sample(space, ms);
        HGLOBAL block = writer.buildGlobal(sampled.items, 1);
        bytes = GlobalSize(block);
        benchmark::DoNotOptimize(block);
        GlobalFree(block);
    }
    setRates(state, bytes, n);
}
BENCHMARK(BM_SampleAndWriteBlock)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->ReportAggregatesOnly();

// The encoder alone: the same 100,000 values written again and again into one buffer.
void BM_WriteBlockOnly(benchmark::State& state)
{
    const ScaleAddressSpace space(hundredThousand());
    const std::size_t n = static_cast<std::size_t>(space.config().itemCount());
    Sampled sampled(n);
    sampled.sample(space, 1000);
    const BlockWriter writer(static_cast<BlockWriter::Format>(state.range(0)));
    std::vector<BYTE> buffer(writer.blockSize(sampled.items));
    for (auto _ : state) {
        const std::size_t size = writer.blockSize(sampled.items);
        writer.write(sampled.items, 1, 0, buffer.data());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::DoNotOptimize(size);
    }
    setRates(state, buffer.size(), n);
}
BENCHMARK(BM_WriteBlockOnly)
    ->Arg(static_cast<int>(BlockWriter::Format::DataTime))
    ->Arg(static_cast<int>(BlockWriter::Format::Data))
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly();

// Sampling alone: reading 100,000 values at a new step, strings allocated as the server does.
void BM_SampleOnly(benchmark::State& state)
{
    const ScaleAddressSpace space(hundredThousand());
    const std::size_t n = static_cast<std::size_t>(space.config().itemCount());
    Sampled sampled(n);
    std::uint64_t ms = 0;
    for (auto _ : state) {
        ms += space.config().updateRate;
        sampled.sample(space, ms);
        benchmark::DoNotOptimize(sampled.values.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_SampleOnly)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->ReportAggregatesOnly();

} // namespace

BENCHMARK_MAIN();
