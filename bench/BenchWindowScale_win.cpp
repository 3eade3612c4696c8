// The main window on Windows against the scale server: does the native view keep up with a
// large, fast server? The same run as the Qt window's bench_window_scale: the scale server set to
// Branches x ItemsPerBranch items changing every UpdateRate ms, the window connects and shows one
// branch; a 10 ms timer on the message loop records the gaps between its ticks (the longest is
// the longest stall), with the notifications handled per second and the working set.
//
//   bench_window_scale [--minutes M] [--sample-seconds S] [--branches N] [--items-per-branch N]
//                      [--update-rate MS] [--changing PERCENT]
#include "BenchSystem.h"
#include "BenchWindowRun.h"
#include "MessagePump.h"
#include "MainWindow.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "platform/Dispatcher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool runUntil(const std::function<bool()>& done, double seconds)
{
    return win32::pumpUntil(done, std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
}

form::TreeNode* child(form::TreeNode* node, const std::string& caption)
{
    for (const auto& c : node->children)
        if (c->caption == caption) return c.get();
    return nullptr;
}

std::vector<double>* g_gaps = nullptr;
Clock::time_point g_lastTick;

void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD)
{
    const auto now = Clock::now();
    if (g_gaps) g_gaps->push_back(std::chrono::duration<double, std::milli>(now - g_lastTick).count());
    g_lastTick = now;
}

} // namespace

int main(int argc, char** argv)
{
    const bench::WindowRunOptions options = bench::parseWindowRunOptions(argc, argv);
    const bench::ScratchSettings scratch;
    bench::setScaleForRun(options);

    platform::Dispatcher::instance().bindMainThread();
    logg::Logger::instance().setConsole(-1);
    Co::Inner com;

    const double startMiB = bench::residentBytes() / (1024.0 * 1024.0);
    auto window = std::make_unique<win32::MainWindow>(false);
    logg::Logger::instance().setFileName("");
    window->show();
    form::MainForm& form = window->form();
    form::TreeNode* local = form.topLevel().front().get();
    if (!runUntil([&] { return !local->children.empty() && local->children.front()->kind != form::NodeKind::Status; }, 30)) {
        std::fprintf(stderr, "the local host was not listed\n");
        return 1;
    }
    form::TreeNode* server = child(local, "Tagvista.Scale.1");
    if (!server) {
        std::fprintf(stderr, "the scale server is not registered\n");
        return 1;
    }
    OPC_Connection* connection = server->connection();
    std::printf("scale server: %lu branches x %lu items = %llu items, every %lu ms, %lu%% changing\n", options.branches,
                options.itemsPerBranch, static_cast<unsigned long long>(options.branches) * options.itemsPerBranch,
                options.updateRate, options.changing);

    std::vector<double> gaps;
    gaps.reserve(1'000'000);
    g_gaps = &gaps;
    g_lastTick = Clock::now();
    const UINT_PTR ticker = SetTimer(nullptr, 0, 10, &tick);

    // The user's expanding: select the node, press "+".
    const auto connectStart = Clock::now();
    TreeView_SelectItem(window->tree(), win32::MainWindow::itemOf(server));
    SendMessageW(window->tree(), WM_KEYDOWN, VK_ADD, 0);
    if (!runUntil([&] { return !connection->busy(); }, 600) || !connection->connected()) {
        std::fprintf(stderr, "connect failed: %s\n", connection->lastError().c_str());
        return 1;
    }
    const double connectSeconds = std::chrono::duration<double>(Clock::now() - connectStart).count();
    const double connectStall = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());

    const auto showStart = Clock::now();
    TreeView_SelectItem(window->tree(), win32::MainWindow::itemOf(server->children.front().get()));
    const double showMs = std::chrono::duration<double, std::milli>(Clock::now() - showStart).count();
    std::printf("connected in %.2f s (longest stall meanwhile %.1f ms); %d rows shown in %.1f ms\n", connectSeconds,
                connectStall, ListView_GetItemCount(window->list()), showMs);

    gaps.clear();
    g_lastTick = Clock::now();
    const std::uint64_t notificationsAtStart = form.valueNotifications();
    const auto runStart = Clock::now();
    const double runSeconds = options.minutes * 60;
    std::vector<std::pair<double, double>> samples{{0, bench::residentBytes() / (1024.0 * 1024.0)}};
    double nextSample = options.sampleSeconds;
    runUntil([&] {
        const double elapsed = std::chrono::duration<double>(Clock::now() - runStart).count();
        if (elapsed >= nextSample - 1e-9) {
            samples.emplace_back(nextSample, bench::residentBytes() / (1024.0 * 1024.0));
            nextSample += options.sampleSeconds;
        }
        return elapsed >= runSeconds;
    }, runSeconds + 60);
    const double measured = std::chrono::duration<double>(Clock::now() - runStart).count();
    const std::uint64_t notifications = form.valueNotifications() - notificationsAtStart;
    KillTimer(nullptr, ticker);
    g_gaps = nullptr;

    std::printf("\nmessage loop over %.0f s (%zu ticks of a 10 ms timer):\n", measured, gaps.size());
    std::printf("  longest stall (gap)   %8.1f ms\n", gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end()));
    std::printf("  median gap            %8.2f ms\n", bench::percentile(gaps, 0.5));
    std::printf("  99th percentile gap   %8.2f ms\n", bench::percentile(gaps, 0.99));
    std::printf("notifications handled   %8.0f per second (%llu in all)\n", static_cast<double>(notifications) / measured,
                static_cast<unsigned long long>(notifications));
    std::printf("notifications waiting   %8zu at the end\n", platform::Dispatcher::instance().postedCount());
    std::printf("working set (process start %.0f MiB):\n", startMiB);
    for (const auto& [at, mib] : samples) std::printf("  at %6.0f s   %8.1f MiB\n", at, mib);

    // The close waits for the disconnect, as the operator's close does.
    SendMessageW(window->window(), WM_CLOSE, 0, 0);
    runUntil([&] { return !IsWindow(window->window()); }, 120);
    window.reset();
    return 0;
}
