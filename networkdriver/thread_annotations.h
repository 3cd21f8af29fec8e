#pragma once

#include <mutex>

// Clang's thread-safety analysis (-Wthread-safety): which lock guards which data, and which functions
// must be called holding it. The compiler checks them; to other compilers they are nothing.
#if defined(__clang__)
#define KESTAVO_TSA(x) __attribute__((x))
#else
#define KESTAVO_TSA(x)
#endif

#define CAPABILITY(x) KESTAVO_TSA(capability(x))
#define SCOPED_CAPABILITY KESTAVO_TSA(scoped_lockable)
#define GUARDED_BY(x) KESTAVO_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) KESTAVO_TSA(pt_guarded_by(x))
#define REQUIRES(...) KESTAVO_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KESTAVO_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KESTAVO_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KESTAVO_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KESTAVO_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KESTAVO_TSA(acquired_after(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KESTAVO_TSA(no_thread_safety_analysis)

namespace networkdriver {

// A std::mutex the analysis knows of.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Holds a lock of either kind for a scope; Unlock and Lock let it go and take it again within it.
template <typename M> class SCOPED_CAPABILITY Hold {
public:
    explicit Hold(M& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
    ~Hold() RELEASE() {
        if (held_) {
            lock_.unlock();
        }
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    void Unlock() RELEASE() {
        lock_.unlock();
        held_ = false;
    }
    void Lock() ACQUIRE() {
        lock_.lock();
        held_ = true;
    }

private:
    M& lock_;
    bool held_ = true;
};

} // namespace networkdriver
