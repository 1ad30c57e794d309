// The module definition and its single exported entry point.
#include "module/setup.h"

namespace {

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(quorbel::module::create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(quorbel::module::exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorbel",    // m_name
    nullptr,      // m_doc: the module has no docstring
    0,            // m_size: no per-module state
    nullptr,      // m_methods: every callable is bound by the execution step
    module_slots, // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

} // namespace

// 3.7's PyMODINIT_FUNC carries no visibility attribute, and we build with -fvisibility=hidden.
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_quorbel(void) {
    return PyModuleDef_Init(&module_def);
}
