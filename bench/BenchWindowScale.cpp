// The main window against the scale server: does it keep up with a large, fast server?
//
// Drives the real TMainForm offscreen. The scale server is set to Branches x ItemsPerBranch items
// changing every UpdateRate ms; the window connects and shows one branch in the table. While the
// values stream in, a 10 ms timer on the event loop records the gaps between its ticks: the
// longest gap is the longest stall of the event loop. Reported: that stall, the median and 99th
// percentile gap, the notifications handled per second, the resident memory at each sample, and
// the cost of finding a notification's row at table sizes from 100 to 100,000 rows.
//
//   bench_window_scale [--minutes M] [--sample-seconds S] [--branches N] [--items-per-branch N]
//                      [--update-rate MS] [--changing PERCENT]
//
// Defaults: 0.5 minutes, a sample every 10 s, 10 branches of 10,000 items (100,000 items), every
// item changing every 100 ms. The figures of record use --minutes 5 --sample-seconds 60.
#include "BenchWindowRun.h"
#include "DispatcherPump.h"
#include "ItemTableModel.h"
#include "MainFormUnit.h"
#include "client/Host.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "platform/Dispatcher.h"
#include "platform/RegistryFiles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double residentMiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

bool runUntil(const std::function<bool()>& done, double seconds)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

QTreeWidgetItem* child(QTreeWidgetItem* node, const QString& caption)
{
    for (int i = 0; i < node->childCount(); ++i)
        if (node->child(i)->text(0) == caption) return node->child(i);
    return nullptr;
}

// The cost of WM_ITEM_NEW_VALUE's part that depends on the table: finding the row of an item and
// marking it. Rows carry made-up addresses; nothing is read.
void measureRowLookup()
{
    std::printf("\nfinding a notification's row (hash from item to row):\n");
    std::printf("  %10s %16s\n", "rows", "ns/notification");
    for (const int rows : {100, 10'000, 100'000}) {
        ItemTableModel model({});
        std::vector<form::ItemRow> content(static_cast<std::size_t>(rows));
        for (int i = 0; i < rows; ++i) content[static_cast<std::size_t>(i)].item =
            reinterpret_cast<const OPC_Item*>(static_cast<std::uintptr_t>(i + 1) * 64);
        model.reset(std::move(content));
        constexpr int kLookups = 2'000'000;
        std::uint64_t state = 88172645463325252ull;  // xorshift: addresses in no order
        const auto start = Clock::now();
        int found = 0;
        for (int i = 0; i < kLookups; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            // Half hit a row, half are items of branches not shown.
            const auto n = state % static_cast<std::uint64_t>(rows * 2) + 1;
            const int row = model.rowOf(reinterpret_cast<const OPC_Item*>(n * 64));
            if (row >= 0) {
                model.markDirty(row);
                ++found;
            }
            if ((i & 0xFFFF) == 0) model.dropDirty();
        }
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kLookups;
        std::printf("  %10d %16.1f   (%d hits)\n", rows, ns, found);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const bench::WindowRunOptions options = bench::parseWindowRunOptions(argc, argv);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    char pattern[] = "/tmp/tagvista-bench-window-XXXXXX";
    const std::string home = ::mkdtemp(pattern);
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    ::setenv("TAGVISTA_CLASSES_PATH", TAGVISTA_CLASSES_DIR, 1);
    platform::registry::reload();
    bench::setScaleForRun(options);

    QApplication application(argc, argv);
    platform::Dispatcher::instance().bindMainThread();
    logg::Logger::instance().setConsole(-1);
    Co::Inner com;

    const double startMiB = residentMiB();
    auto window = std::make_unique<TMainForm>();
    logg::Logger::instance().setFileName("");
    window->show();
    QTreeWidgetItem* local = window->tree()->topLevelItem(0);
    if (!runUntil([&] { return local->childCount() > 0 && TMainForm::kindOf(local->child(0)) != TMainForm::NodeKind::Status; }, 30)) {
        std::fprintf(stderr, "the local host was not listed\n");
        return 1;
    }
    QTreeWidgetItem* server = child(local, "Tagvista.Scale.1");
    if (!server) {
        std::fprintf(stderr, "the scale server is not registered in %s\n", TAGVISTA_CLASSES_DIR);
        return 1;
    }
    OPC_Connection* connection = TMainForm::connectionOf(server);

    std::printf("scale server: %u branches x %u items = %llu items, every %u ms, %u%% changing\n", options.branches,
                options.itemsPerBranch, static_cast<unsigned long long>(options.branches) * options.itemsPerBranch,
                options.updateRate, options.changing);

    // Every gap between ticks of a 10 ms timer, from the connect on: a handler or a drain that
    // keeps the loop busy shows as a long gap.
    std::vector<double> gaps;
    gaps.reserve(1'000'000);
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        gaps.push_back(static_cast<double>(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
    });
    sinceTick.start();
    ticker.start(10);

    const auto connectStart = Clock::now();
    window->tree()->expandItem(server);
    if (!runUntil([&] { return !connection->busy(); }, 600) || !connection->connected()) {
        std::fprintf(stderr, "connect failed: %s\n", connection->lastError().c_str());
        return 1;
    }
    const double connectSeconds = std::chrono::duration<double>(Clock::now() - connectStart).count();
    const double connectStall = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());

    QTreeWidgetItem* branch = server->child(0);
    const auto showStart = Clock::now();
    window->tree()->setCurrentItem(branch);
    const double showMs = std::chrono::duration<double, std::milli>(Clock::now() - showStart).count();
    std::printf("connected in %.2f s (longest stall meanwhile %.1f ms); %d rows shown in %.1f ms\n", connectSeconds,
                connectStall, window->tableModel()->rowCount(), showMs);

    // The measured run: values stream into the branch shown.
    gaps.clear();
    sinceTick.restart();
    const std::uint64_t notificationsAtStart = window->valueNotifications();
    const auto runStart = Clock::now();
    const double runSeconds = options.minutes * 60;
    std::vector<std::pair<double, double>> samples{{0, residentMiB()}};
    double nextSample = options.sampleSeconds;
    while (true) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - runStart).count();
        if (elapsed >= nextSample - 1e-9) {
            samples.emplace_back(nextSample, residentMiB());
            nextSample += options.sampleSeconds;
        }
        if (elapsed >= runSeconds) break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    const double measured = std::chrono::duration<double>(Clock::now() - runStart).count();
    const std::uint64_t notifications = window->valueNotifications() - notificationsAtStart;
    ticker.stop();

    std::printf("\nevent loop over %.0f s (%zu ticks of a 10 ms timer):\n", measured, gaps.size());
    std::printf("  longest stall (gap)   %8.1f ms\n", gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end()));
    std::printf("  median gap            %8.2f ms\n", bench::percentile(gaps, 0.5));
    std::printf("  99th percentile gap   %8.2f ms\n", bench::percentile(gaps, 0.99));
    std::printf("notifications handled   %8.0f per second (%llu in all; %llu drains)\n",
                static_cast<double>(notifications) / measured, static_cast<unsigned long long>(notifications),
                static_cast<unsigned long long>(window->pump()->drains()));
    std::printf("notifications waiting   %8zu at the end\n", platform::Dispatcher::instance().postedCount());
    std::printf("resident memory (process start %.0f MiB):\n", startMiB);
    for (const auto& [at, mib] : samples) std::printf("  at %6.0f s   %8.1f MiB\n", at, mib);

    // The close waits for the disconnect, as the operator's close does.
    window->close();
    runUntil([&] { return !window->isVisible(); }, 120);
    window.reset();

    measureRowLookup();
    std::filesystem::remove_all(home);
    return 0;
}
