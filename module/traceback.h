// Traceback entries named after the module's callables ("quorbel.get_logger").
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// The file name that the module's code objects and traceback entries carry.
inline constexpr const char *kSourceFile = "quorbel.cpp";

// Probes how code objects are renamed on this interpreter; once per process.
int init_traceback() noexcept;

// A code object named `name` in kSourceFile whose evaluation returns its own frame.
Ref make_traceback_code(const char *name) noexcept;

// With an exception set: adds an entry for `code` (from make_traceback_code) in front of the
// exception's traceback. The exception stays set; never fails in a way that replaces it.
void add_traceback_entry(PyObject *code) noexcept;

// Renames a code object (co_name, and co_qualname where the interpreter has it).
Ref rename_code(PyObject *code, PyObject *name, PyObject *qualname) noexcept;

} // namespace quorbel::module
