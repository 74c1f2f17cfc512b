// GoogleTest's Notification, for a compiler whose win32 thread model has no
// std::mutex (GoogleTest's own one needs it). GoogleTest uses it only to
// start threads in its own tests; ours run in one thread.
#pragma once

#include <atomic>

namespace testing::internal {

class Notification {
public:
    void Notify() { notified_ = true; }
    void WaitForNotification()
    {
        while (!notified_) {
        }
    }

private:
    std::atomic<bool> notified_{false};
};

}  // namespace testing::internal
