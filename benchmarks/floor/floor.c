/* The floor for the benchmarks: a native trace callback that does only what any recorder of this
 * design must do. At a call event it sets the frame's f_trace to its own object through an
 * interned name; at a line event it reads the line number. Nothing is recorded.
 *
 * Built by benchmarks/build_floor.py for the benchmark only; not part of the package. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *f_trace_name; /* interned "f_trace" */
static volatile long line_sink; /* keeps the line number read from being optimised away */

static int floor_trace(PyObject *obj, PyFrameObject *frame, int what, PyObject *arg) {
    (void)arg;
    switch (what) {
    case PyTrace_CALL:
        if (PyObject_SetAttr((PyObject *)frame, f_trace_name, obj) < 0) {
            PyErr_Clear();
        }
        return 0;
    case PyTrace_LINE:
        line_sink = PyFrame_GetLineNumber(frame);
        return 0;
    default:
        return 0;
    }
}

static PyObject *floor_start(PyObject *module, PyObject *unused) {
    (void)unused;
    PyEval_SetTrace(floor_trace, module);
    Py_RETURN_NONE;
}

static PyObject *floor_stop(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    PyEval_SetTrace(NULL, NULL);
    Py_RETURN_NONE;
}

/* Calls fn with no arguments and returns its result. The benchmark's instruction counts collect
 * only inside this function (callgrind's --toggle-collect), so that they cover the measured run
 * and nothing of the process around it: start-up, imports, making the recorder. */
static PyObject *floor_measured(PyObject *module, PyObject *fn) {
    (void)module;
    return PyObject_CallNoArgs(fn);
}

static PyMethodDef floor_methods[] = {
    {"measured", floor_measured, METH_O, "Call fn(); instruction counts cover only this call."},
    {"start", floor_start, METH_NOARGS, "Install the floor callback in this thread."},
    {"stop", floor_stop, METH_NOARGS, "Remove the trace callback of this thread."},
    {NULL, NULL, 0, NULL},
};

static int floor_exec(PyObject *module) {
    (void)module;
    if (f_trace_name == NULL) {
        f_trace_name = PyUnicode_InternFromString("f_trace");
        if (f_trace_name == NULL) {
            return -1;
        }
    }
    return 0;
}

static PyModuleDef_Slot floor_slots[] = {
    {Py_mod_exec, floor_exec},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_kestrow_floor", "Do-nothing native trace callback (benchmark floor).",
    0, floor_methods, floor_slots, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__kestrow_floor(void) { return PyModuleDef_Init(&floor_module); }
