// A one-shot signal between the threads of a test. Not std::atomic's wait and notify: with
// MinGW's C++ library those lose wake-ups, and a test that waits for a lost one never ends.
#pragma once

#include <condition_variable>
#include <mutex>

namespace platform::testing {

class Signal {
public:
    void set()
    {
        {
            std::lock_guard lock(_mutex);
            _set = true;
        }
        _changed.notify_all();
    }
    void wait()
    {
        std::unique_lock lock(_mutex);
        _changed.wait(lock, [this] { return _set; });
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _set = false;
};

} // namespace platform::testing
