// Mutexes, conditions and the monotonic clock shared by application threads and the shipper.
//
// Plain pthread objects rather than std::mutex: a forked child re-initialises them in place
// (a mutex held at fork() would stay locked there), and timed waits use CLOCK_MONOTONIC, which
// pthread_cond_timedwait has on every glibc the wheel targets.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

namespace quorbel::batch {

// CLOCK_MONOTONIC in nanoseconds.
inline std::int64_t now_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The same clock at the resolution of the kernel tick, without a system call: the time a
// record was accepted, taken on the application thread for every record.
inline std::int64_t coarse_ms() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline constexpr std::int64_t kNsPerMs = 1000000;

class Mutex {
  public:
    Mutex() noexcept { reinit(); }
    ~Mutex() { pthread_mutex_destroy(&m_); }
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void lock() noexcept { pthread_mutex_lock(&m_); }
    bool try_lock() noexcept { return pthread_mutex_trylock(&m_) == 0; }
    void unlock() noexcept { pthread_mutex_unlock(&m_); }
    // Forked child only: the mutex may have been held by a thread that does not exist here.
    void reinit() noexcept { pthread_mutex_init(&m_, nullptr); }

  private:
    friend class Cond;
    pthread_mutex_t m_;
};

class Locked {
  public:
    explicit Locked(Mutex &m) noexcept : m_(m) { m_.lock(); }
    ~Locked() { m_.unlock(); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

  private:
    Mutex &m_;
};

class Cond {
  public:
    Cond() noexcept { reinit(); }
    ~Cond() { pthread_cond_destroy(&c_); }
    Cond(const Cond &) = delete;
    Cond &operator=(const Cond &) = delete;

    void signal() noexcept { pthread_cond_signal(&c_); }
    void broadcast() noexcept { pthread_cond_broadcast(&c_); }
    void wait(Mutex &m) noexcept { pthread_cond_wait(&c_, &m.m_); }
    // Waits until signalled or until `deadline_ns` (now_ns()'s clock) has passed.
    void wait_until(Mutex &m, std::int64_t deadline_ns) noexcept {
        timespec ts;
        ts.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
        ts.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
        pthread_cond_timedwait(&c_, &m.m_, &ts);
    }
    void reinit() noexcept {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&c_, &attr);
        pthread_condattr_destroy(&attr);
    }

  private:
    pthread_cond_t c_;
};

} // namespace quorbel::batch
