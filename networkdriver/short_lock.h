#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "networkdriver/thread_annotations.h"

namespace networkdriver {

// A lock every side holds for a few instructions: no system call, sweep over the clients or copy of more
// than one frame happens under it on the send path, but when the clients SendDataToEach is given
// change. So a waiter spins for a moment. A waiter that still finds it held after spinning (its holder
// was preempted, perhaps by a thread of higher priority: the reader may run at another) yields, and
// then sleeps in short naps, so that it never keeps the holder off a core.
class CAPABILITY("mutex") ShortLock {
public:
    void lock() noexcept ACQUIRE() {
        if (!locked_.exchange(true, std::memory_order_acquire)) {
            return;
        }
        LockContended();
    }
    void unlock() noexcept RELEASE() { locked_.store(false, std::memory_order_release); }

private:
    void LockContended() noexcept {
        for (int waited = 0;; ++waited) {
            if (!locked_.load(std::memory_order_relaxed) &&
                !locked_.exchange(true, std::memory_order_acquire)) {
                return;
            }
            if (waited < 100) {
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            } else if (waited < 120) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
    }

    std::atomic<bool> locked_{false};
};

} // namespace networkdriver
