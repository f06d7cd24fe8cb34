// A manual-reset event, as CreateEvent(manual reset) gives on Windows: Set wakes every waiter and
// stays set until Reset.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

class Event {
  public:
    explicit Event(bool initiallySet = false) : set_(initiallySet) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        cv_.notify_all();
    }
    void Reset() {
        std::lock_guard lock(mutex_);
        set_ = false;
    }
    bool IsSet() const {
        std::lock_guard lock(mutex_);
        return set_;
    }
    // Waits until the event is set; true when it was, false when the time ran out.
    template <class Rep, class Period>
    bool Wait(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [this] { return set_; });
    }
    void Wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return set_; });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool set_;
};

}  // namespace platform
