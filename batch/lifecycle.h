// The process-wide side of the clients: the registry of open clients, their close at
// interpreter exit, their state across fork(), and the gate through which shippers enter
// Python.
#pragma once

#include "module/ref.h"

namespace quorbel::batch {

class Engine;

// Once per process (GIL held): registers the exit and fork hooks. -1 with an exception set.
int init_lifecycle() noexcept;

// The registry holds a reference to each open engine (GIL held).
void register_engine(Engine *e) noexcept;
// Drops the registry's reference; nothing when e is not registered. `holding_gil`: the caller
// holds the GIL (see batch/gil.h).
void unregister_engine(Engine *e, bool holding_gil = true) noexcept;

// A shipper takes the GIL only through here: false once the interpreter is past the point where
// our threads may run Python (exit has closed the clients).
bool enter_python(PyGILState_STATE &state) noexcept;
void leave_python(PyGILState_STATE state) noexcept;

// GIL held: starts e's shipper unless it runs. In a forked child, multiprocessing's exit
// (which skips atexit) closes the clients too. -1 with an exception set.
int start_shipper(Engine *e) noexcept;

} // namespace quorbel::batch
