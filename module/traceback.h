// Traceback entries named after the module's callables ("quorbel.<qualified name>").
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// The file name that the module's code objects and traceback entries carry.
inline constexpr const char *kSourceFile = "quorbel.cpp";

// Captures what entries and code objects are made from; once per process.
int init_traceback() noexcept;

// A code object named `name` in kSourceFile whose evaluation returns its own frame.
Ref make_traceback_code(const char *name) noexcept;

// With an exception set: adds an entry for `code` (from make_traceback_code) in front of the
// exception's traceback. An exception raised meanwhile (a signal handler's KeyboardInterrupt, a
// MemoryError) replaces the pending one, with that one as its context, as it would in Python
// code. With no exception set it does nothing.
void add_traceback_entry(PyObject *code) noexcept;

// The code object that compiling `def name(params): pass` in kSourceFile gives, its first line
// at `line` (params: a tuple of strs).
Ref function_code(const char *name, const char *qualname, PyObject *params, int line) noexcept;

} // namespace quorbel::module
