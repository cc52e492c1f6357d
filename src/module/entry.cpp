// The entry point the import machinery looks for.

#include "module/init.h"

namespace {

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(vorn::create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(vorn::exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn",        // m_name
    nullptr,       // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods: the functions are made by the execution step
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

// Exported under every compiler, whatever the default visibility.
PyMODINIT_FUNC PyInit_vorn(void) {
    return PyModuleDef_Init(&module_def);
}
