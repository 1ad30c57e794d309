// The quorbel_batch module: its definition, its execution step and its one exported symbol.
//
// Equivalent Python:
//     import atexit, os
//     class BatchClient: ...                  # batch/client.cpp
//     atexit.register(...); os.register_at_fork(...)   # batch/lifecycle.cpp
#include "batch/client.h"
#include "batch/construct.h"
#include "batch/lifecycle.h"
#include "module/facts.h"
#include "module/import.h"
#include "module/names.h"

namespace {

using namespace quorbel;

const module::Name kBatchClient{"BatchClient"};

PyObject *home_module = nullptr; // the module of the first import, kept for later ones

// Work that does not depend on the module object; each step keeps what it finished, so an
// import that failed can be tried again.
int init_process() noexcept {
    module::probe_facts();
    if (module::init_names() < 0 || batch::init_construct() < 0 || batch::init_client_type() < 0 ||
        batch::init_lifecycle() < 0)
        return -1;
    return 0;
}

PyObject *create_module(PyObject *spec, PyModuleDef *) noexcept {
    return module::create_module(spec, home_module); // a later import in the process gets it
}

int exec_module(PyObject *m) noexcept {
    if (m == home_module)
        return 0;
    if (init_process() < 0 || PyObject_SetAttr(m, kBatchClient, batch::client_type()) < 0)
        return -1;
    Py_INCREF(m);
    home_module = m;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorbel_batch",
    "Background delivery for quorbel: BatchClient, a client whose xadd never waits on Redis.",
    0,       // m_size: no per-module state
    nullptr, // m_methods
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

// 3.7's PyMODINIT_FUNC carries no visibility attribute, and we build with -fvisibility=hidden.
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_quorbel_batch(void) {
    return PyModuleDef_Init(&module_def);
}
