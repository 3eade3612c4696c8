#include "StopSignals.h"

#include <csignal>
#include <pthread.h>
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

StopSignals::StopSignals(std::function<void()> onStop) : _onStop(std::move(onStop))
{
    struct sigaction current {};
    _intIgnored = sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
    const sigset_t set = watchedSignals(!_intIgnored);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    _watcher = std::thread([this] { watch(); });
}

StopSignals::~StopSignals()
{
    _closing = true;
    pthread_kill(_watcher.native_handle(), SIGUSR2);
    _watcher.join();
}

void StopSignals::watch()
{
    const sigset_t set = watchedSignals(!_intIgnored);
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (signal == SIGUSR2) {
            if (_closing) return;
            continue;
        }
        if (!_requested.exchange(true)) {
            if (_onStop) _onStop();
            continue;
        }
        static const char message[] = "tagvista-cli: stopped without waiting for the server\n";
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, message, sizeof message - 1);
        ::_exit(kForcedExit);
    }
}

} // namespace cli
