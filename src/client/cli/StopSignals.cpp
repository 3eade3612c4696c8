#include "StopSignals.h"

#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace cli {

namespace {

// SIGUSR2 is how the destructor reaches the watcher; a stray one from outside is ignored while the
// watcher is not closing.
sigset_t watchedSignals(bool withInt)
{
    sigset_t set;
    sigemptyset(&set);
    if (withInt) sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR2);
    return set;
}

} // namespace

struct StopSignals::Watcher {
    std::atomic<bool> closing{false};
    bool intIgnored = false;
    std::thread thread;
};

StopSignals::StopSignals(std::function<void()> onStop) : _onStop(std::move(onStop)), _watcher(std::make_unique<Watcher>())
{
    struct sigaction current {};
    _watcher->intIgnored = sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
    const sigset_t set = watchedSignals(!_watcher->intIgnored);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    _watcher->thread = std::thread([this, set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            if (signal != SIGUSR2) {
                take();
            } else if (_watcher->closing) {
                return;
            }
        }
    });
}

StopSignals::~StopSignals()
{
    _watcher->closing = true;
    pthread_kill(_watcher->thread.native_handle(), SIGUSR2);
    _watcher->thread.join();
}

void StopSignals::take()
{
    if (!_requested.exchange(true)) {
        if (_onStop) _onStop();
        return;
    }
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kForcedExitMessage, sizeof kForcedExitMessage - 1);
    ::_exit(kForcedExit);
}

} // namespace cli
