// The module definition and its one-time set-up.
#include "filedisposition.h"
#include "tracer.h"

namespace {

// Set once the first execution has registered the types; later module objects made from the
// same definition (a reload, a second import after removal from sys.modules) get nothing added.
unsigned char module_ready = 0;

int tracer_module_exec(PyObject *module) {
    if (module_ready) {
        return 0;
    }
    if (CTracer_intern_strings() < 0) {
        return -1;
    }
    CTracer_find_trace_setter();
    kestrow::FileCache_init();
    CTracer_fill_type();
    CTracerType.tp_new = PyType_GenericNew;
    if (PyType_Ready(&CTracerType) < 0) {
        return -1;
    }
    // PyModule_AddObjectRef takes its own reference; if a later step fails, the import fails and
    // the discarded module releases what it was given.
    if (PyModule_AddObjectRef(module, "CTracer", reinterpret_cast<PyObject *>(&CTracerType)) < 0) {
        return -1;
    }
    CFileDisposition_fill_type();
    CFileDispositionType.tp_new = PyType_GenericNew;
    if (PyType_Ready(&CFileDispositionType) < 0) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "CFileDisposition",
                              reinterpret_cast<PyObject *>(&CFileDispositionType)) < 0) {
        return -1;
    }
    module_ready = 1;
    return 0;
}

PyModuleDef_Slot tracer_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(tracer_module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef tracer_module = {
    PyModuleDef_HEAD_INIT,
    "kestrow.tracer",
    PyDoc_STR("Fast kestrow tracer."),
    0,
    nullptr,
    tracer_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tracer() {
    return PyModuleDef_Init(&tracer_module);
}
