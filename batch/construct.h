// BatchClient's construction: the arguments bound and checked, then its engine made.
#pragma once

#include "module/ref.h"

namespace quorbel::batch {

class Engine;

// What the binding of the constructor needs; once per process. -1 with an exception set.
int init_construct() noexcept;

// BatchClient(*args, **kwargs)'s engine: every argument checked (TypeError, ValueError, the
// spill file's OSError) before anything is made or started. nullptr with an exception set.
Engine *make_engine(PyObject *args, PyObject *kwargs) noexcept;

} // namespace quorbel::batch
