// Taking a client's mutex on a thread that holds the GIL.
//
// The fork hooks hold every client's mutex while other fork hooks run Python code, and Python
// code lets other threads take the GIL: a thread that then waited for the mutex with the GIL
// held would never let the forking thread finish. So a thread holding the GIL waits for a
// mutex only with the GIL released, and never holds it while waiting for the GIL.
#pragma once

#include "batch/sync.h"
#include "module/ref.h"

namespace quorbel::batch {

class LockedWithGil {
  public:
    explicit LockedWithGil(Mutex &m) noexcept : m_(m) {
        while (!m_.try_lock()) {
            PyThreadState *state = PyEval_SaveThread();
            m_.lock();
            m_.unlock();
            PyEval_RestoreThread(state);
        }
    }
    ~LockedWithGil() { m_.unlock(); }
    LockedWithGil(const LockedWithGil &) = delete;
    LockedWithGil &operator=(const LockedWithGil &) = delete;

  private:
    Mutex &m_;
};

} // namespace quorbel::batch
