#include "ServerWatch.h"

#include "CallDeadlines.h"
#include "ErrorString.h"
#include "Exception.h"
#include "Logger.h"
#include "platform/Dispatcher.h"
#include "platform/Memory.h"

#include <thread>
#include <utility>

void freeStatus(OPCSERVERSTATUS* status)
{
    if (!status) return;
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

bool serverHasGone(HRESULT hr)
{
    // HRESULT_FROM_WIN32 is a function on Windows, so the list is built at run time.
    const HRESULT gone[] = {RPC_E_DISCONNECTED,
                            RPC_E_SERVER_DIED,
                            RPC_E_SERVER_DIED_DNE,
                            CO_E_OBJNOTCONNECTED,
                            HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
                            HRESULT_FROM_WIN32(RPC_S_CALL_FAILED),
                            HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE)};
    for (const HRESULT code : gone)
        if (hr == code) return true;
    return false;
}

ServerWatch::ServerWatch(std::string prefix, std::chrono::milliseconds interval, std::chrono::milliseconds callLimit)
    : _prefix(std::move(prefix)), _interval(interval), _callLimit(callLimit)
{
}

void ServerWatch::start(const std::shared_ptr<ServerWatch>& watch, IOPCServer* server, LossStep onLost)
{
    watch->_onLost = std::move(onLost);
    {
        std::lock_guard lock(watch->_lock);
        watch->_started = true;
    }
    // Detached: a thread given up in a call that never comes back cannot be joined. It keeps
    // the watch alive; the connection may go before it ends.
    std::thread([watch, server] { watch->run(watch, server); }).detach();
}

void ServerWatch::requestShutdown(std::string reason)
{
    std::lock_guard lock(_lock);
    if (_shutdownRequested) return;
    _shutdownRequested = true;
    _shutdownReason = std::move(reason);
    _changed.notify_all();
}

void ServerWatch::stop()
{
    std::lock_guard lock(_lock);
    _stopRequested = true;
    _changed.notify_all();
}

bool ServerWatch::waitEnded(std::chrono::milliseconds limit)
{
    std::unique_lock lock(_lock);
    if (!_started) return true;
    _changed.wait_for(lock, limit, [this] { return _ended || _givenUp; });
    return _ended;
}

void ServerWatch::leaveBehind(std::shared_ptr<void> objects)
{
    std::unique_lock lock(_lock);
    if (!_cameBack) {
        _leftBehind = std::move(objects);
        return;
    }
    lock.unlock();
    objects.reset();  // the call is over: nothing uses them any more
}

void ServerWatch::reportLoss(const Loss& loss)
{
    try {
        platform::Dispatcher::instance().synchronize([this, &loss] {
            if (_attached && _onLost) _onLost(loss);
        });
    } catch (...) {
        // The step's failure is the main thread's business.
    }
}

void ServerWatch::run(const std::shared_ptr<ServerWatch>& self, IOPCServer* server)
{
    auto work = std::make_shared<ServerWork>();
    // Runs on the main thread when a check hangs past its deadline; this thread stays in the call.
    work->onGivenUp = [self](const char* call, std::chrono::milliseconds limit) {
        {
            std::lock_guard lock(self->_lock);
            self->_givenUp = true;
            self->_changed.notify_all();
        }
        if (self->_attached && self->_onLost)
            self->_onLost(Loss{deadlines::notAnsweredText(self->_prefix, call, limit), false, true});
    };

    Loss loss;
    bool lost = false;
    bool report = false;
    {
        std::unique_lock lock(_lock);
        for (;;) {
            const auto woken = [this] { return _stopRequested || _shutdownRequested; };
            if (_interval.count() > 0)
                _changed.wait_for(lock, _interval, woken);
            else
                _changed.wait(lock, woken);
            if (_stopRequested) break;
            if (_shutdownRequested) {
                loss.text = _prefix + ": the server shut down: " +
                            (_shutdownReason.empty() ? std::string("no reason given") : _shutdownReason);
                lost = true;
                break;
            }

            lock.unlock();
            OPCSERVERSTATUS* status = nullptr;
            HRESULT hr = S_OK;
            try {
                hr = deadlines::call(
                    work, _prefix, "GetStatus", _callLimit, [&] { return server->GetStatus(&status); },
                    [&] { freeStatus(status); });
            } catch (const WorkGivenUp&) {
                // The main thread has taken the loss over; only what was left for this moment
                // is let go, here.
                std::shared_ptr<void> objects;
                {
                    std::lock_guard guard(_lock);
                    _cameBack = true;
                    objects = std::move(_leftBehind);
                }
                return;
            } catch (const CallNotAnswered& e) {
                // Cancelled past its deadline: the server's process is there but does not answer.
                loss = Loss{e.message(), true, false};
                lost = true;
                lock.lock();
                break;
            }
            freeStatus(status);
            lock.lock();
            if (FAILED(hr) && serverHasGone(hr)) {
                loss = Loss{textf("%s: GetStatus() Failed: %s", _prefix.c_str(), ErrorString(hr).c_str()), true, false};
                lost = true;
                break;
            }
            if (FAILED(hr)) LOGG(7, "%s: GetStatus() Failed: %s", _prefix.c_str(), ErrorString(hr).c_str());
        }
        // A loss found while a disconnect was asked for is that disconnect's business.
        report = lost && !_stopRequested;
    }
    if (report) {
        LOGG(2, "%s", loss.text.c_str());
        reportLoss(loss);
    }
    std::lock_guard lock(_lock);
    _ended = true;
    _changed.notify_all();
}
