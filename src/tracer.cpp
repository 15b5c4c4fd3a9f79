// CTracer: the type, its members and control methods, and its use as a Python-level trace
// function. The event engine itself lives in events.cpp.
#include "tracer.h"

#include <structmember.h>  // T_OBJECT: an unset member reads as None

#include <cstddef>
#include <new>
#include <unordered_map>
#include <utility>

using kestrow::Ref;

namespace kestrow::names {
PyObject *kestrow_plugin = nullptr;
PyObject *kestrow_plugin_name = nullptr;
PyObject *dynamic_source_filename = nullptr;
PyObject *line_number_range = nullptr;
PyObject *f_trace = nullptr;
}  // namespace kestrow::names

int CTracer_intern_strings() {
    // Each slot is written before it is tested, so a failure leaves only the failing one empty.
    struct Name {
        PyObject **slot;
        const char *text;
    };
    const Name table[] = {
        {&kestrow::names::kestrow_plugin, "_kestrow_plugin"},
        {&kestrow::names::kestrow_plugin_name, "_kestrow_plugin_name"},
        {&kestrow::names::dynamic_source_filename, "dynamic_source_filename"},
        {&kestrow::names::line_number_range, "line_number_range"},
        // Set on every handled frame; an interned name spares a string per call event.
        {&kestrow::names::f_trace, "f_trace"},
    };
    for (const Name &name : table) {
        *name.slot = PyUnicode_InternFromString(name.text);
        if (*name.slot == nullptr) {
            return -1;
        }
    }
    return 0;
}

namespace kestrow {

PyObject *require_member(PyObject *member, const char *owner, const char *name) {
    if (member == nullptr) {
        PyErr_Format(PyExc_AttributeError, "%s member '%s' was never assigned", owner, name);
    }
    return member;
}

}  // namespace kestrow

namespace {

CTracer *as_tracer(PyObject *op) {
    return reinterpret_cast<CTracer *>(op);
}

// Makes the state that init gives a new tracer. On a tracer already in use it first lets go of
// what the main stack, the file cache and the context held; the entries array is kept (emptied),
// so a pointer into it held by an event still running stays valid.
void CTracer_init_state(CTracer *self) {
    if (self->active_stack == nullptr) {
        DataStack_init(&self->main_stack);
    } else {
        DataStack_reset(&self->main_stack);
    }
    self->active_stack = &self->main_stack;
    self->current_entry = &empty_entry;
    kestrow::FileCache_clear(self->file_cache);
    Py_XSETREF(self->current_context, Py_NewRef(Py_None));
}

int CTracer_init(PyObject *op, PyObject *, PyObject *) {
    CTracer_init_state(as_tracer(op));
    return 0;
}

// True when the calling thread's native trace function is this tracer's own callback.
bool is_installed_here(PyObject *op) {
    PyThreadState *tstate = PyThreadState_Get();
    return tstate->c_tracefunc == CTracer_on_event && tstate->c_traceobj == op;
}

void CTracer_dealloc(PyObject *op) {
    CTracer *self = as_tracer(op);
    // Another tracer may have been installed in this thread since; leave it alone.
    if (self->running && is_installed_here(op)) {
        PyEval_SetTrace(nullptr, nullptr);
    }
    Py_XDECREF(self->should_trace);
    Py_XDECREF(self->check_include);
    Py_XDECREF(self->warn);
    Py_XDECREF(self->concur_id_func);
    Py_XDECREF(self->data);
    Py_XDECREF(self->file_tracers);
    Py_XDECREF(self->should_trace_cache);
    Py_XDECREF(self->trace_arcs);
    Py_XDECREF(self->should_start_context);
    Py_XDECREF(self->switch_context);
    Py_XDECREF(self->lock_data);
    Py_XDECREF(self->unlock_data);
    Py_XDECREF(self->current_context);
    Py_XDECREF(self->disable_plugin);
    DataStack_dealloc(&self->main_stack);
    kestrow::CTracer_release_context_stacks(self);
    kestrow::FileCache_clear(self->file_cache);
    Py_TYPE(op)->tp_free(op);
}

// Stopped inside a frame, the tracer never sees that frame return, and its entry stays on the
// stack. Started again from another frame, the line events of the new frame would be recorded
// through that entry, into another frame's file. So a start that ends a stop lets the entries of
// frames no longer running in this thread record nothing more; they are still popped by returns
// as before. A frame object's address is soon reused by a new frame, so an entry counts as running
// only when a running frame has both its address and its code. Only the single stack is judged:
// the entries of other concurrency contexts belong to frames this thread cannot see.
void forget_finished_frames(CTracer *self) {
    DataStack *stack = &self->main_stack;
    if (self->concur_id_func != Py_None || stack->depth < 0) {
        return;
    }
    std::unordered_map<const void *, const void *> running;  // frame -> its code
    try {
        for (Ref frame = Ref::borrow(reinterpret_cast<PyObject *>(PyEval_GetFrame())); frame;
             frame = Ref::steal(reinterpret_cast<PyObject *>(
                 PyFrame_GetBack(reinterpret_cast<PyFrameObject *>(frame.get()))))) {
            Ref code = Ref::steal(reinterpret_cast<PyObject *>(
                PyFrame_GetCode(reinterpret_cast<PyFrameObject *>(frame.get()))));
            running.emplace(frame.get(), code.get());
        }
    } catch (const std::bad_alloc &) {
        return;  // without the list, keep every entry as it is
    }
    for (int32_t i = 0; i <= stack->depth && i < stack->capacity; i++) {
        FrameEntry *e = &stack->entries[i];
        if (e->file_set == nullptr) {
            continue;
        }
        auto found = running.find(e->frame);
        if (found == running.end() || found->second != e->code) {
            // Releasing may run Python code; the entry is detached first.
            Ref finished = Ref::steal(std::exchange(e->file_set, nullptr));
        }
    }
}

PyObject *CTracer_start(PyObject *op, PyObject *) {
    CTracer *self = as_tracer(op);
    if (self->active_stack == nullptr) {
        // Made by CTracer.__new__ without __init__: give it the state init would have.
        CTracer_init_state(self);
    }
    // The truth test may run Python code. Done after installing the callback, its events would
    // reach a tracer not yet running, and the first of them would remove the callback again,
    // leaving a start that reported success but records nothing. A test that raises leaves
    // nothing started.
    int arcs = 0;
    if (self->trace_arcs != nullptr) {
        arcs = PyObject_IsTrue(self->trace_arcs);
        if (arcs < 0) {
            return nullptr;
        }
    }
    if (!self->running) {
        forget_finished_frames(self);
    }
    PyEval_SetTrace(CTracer_on_event, op);
    self->record_arcs = arcs ? 1 : 0;
    kestrow::store_flag(self->running, 1);
    return Py_NewRef(op);
}

PyObject *CTracer_stop(PyObject *op, PyObject *) {
    kestrow::store_flag(as_tracer(op)->running, 0);
    Py_RETURN_NONE;
}

PyObject *CTracer_get_stats(PyObject *, PyObject *) {
    Py_RETURN_NONE;
}

PyObject *CTracer_activity(PyObject *op, PyObject *) {
    return PyBool_FromLong(kestrow::load_flag(as_tracer(op)->had_activity));
}

PyObject *CTracer_reset_activity(PyObject *op, PyObject *) {
    kestrow::store_flag(as_tracer(op)->had_activity, 0);
    Py_RETURN_NONE;
}

// The event number of a Python-level event name. Names are compared whole, so a str holding a
// NUL or characters outside ASCII matches nothing and is treated as an event the tracer ignores.
int event_number(PyObject *event) {
    static const char *const names[] = {"call",   "exception",   "line",    "return",
                                        "c_call", "c_exception", "c_return"};
    int what = 0;
    for (const char *name : names) {
        if (PyUnicode_EqualToUTF8(event, name)) {
            return what;
        }
        what++;
    }
    return PyTrace_OPCODE;
}

PyObject *Tracer_call(PyObject *op, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"frame", "event", "arg", nullptr};
    PyObject *frame = nullptr;
    PyObject *event = nullptr;
    PyObject *arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!O!O|i:Tracer_call",
                                     const_cast<char **>(keywords), &PyFrame_Type, &frame,
                                     &PyUnicode_Type, &event, &arg)) {
        return nullptr;
    }
    int what = event_number(event);
    int status = CTracer_on_event(op, reinterpret_cast<PyFrameObject *>(frame), what, arg);
    if (what == PyTrace_CALL) {
        // From here on the frame's events reach the tracer natively, not through this entry.
        // Installing runs the audit hooks, Python code that must not start with an error pending
        // and whose own failure is only reported: the event's error waits until it is done.
        PyObject *event_error = status < 0 ? PyErr_GetRaisedException() : nullptr;
        PyEval_SetTrace(CTracer_on_event, op);
        if (event_error != nullptr) {
            PyErr_SetRaisedException(event_error);
        }
    }
    if (status < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "the tracer's event failed without an exception");
        }
        return nullptr;
    }
    return Py_NewRef(op);
}

// A member assigned may be a dictionary the file cache answered from, or the last holder of what
// its answers keep alive (a layer letting go of its dispositions and file tracers, say). The
// cache lets go of everything, so an assignment frees what it did before the cache.
int CTracer_setattro(PyObject *op, PyObject *name, PyObject *value) {
    if (PyObject_GenericSetAttr(op, name, value) < 0) {
        return -1;
    }
    kestrow::FileCache_clear(as_tracer(op)->file_cache);
    return 0;
}

#define TRACER_MEMBER(name, doc) {#name, T_OBJECT, offsetof(CTracer, name), 0, PyDoc_STR(doc)}

PyMemberDef CTracer_members[] = {
    TRACER_MEMBER(should_trace, "Function indicating whether to trace a file."),
    TRACER_MEMBER(check_include, "Function indicating whether to include a file."),
    TRACER_MEMBER(warn, "Function for issuing warnings."),
    TRACER_MEMBER(concur_id_func, "Function for determining concurrency context"),
    TRACER_MEMBER(data, "The raw dictionary of trace data."),
    TRACER_MEMBER(file_tracers, "Mapping from file name to plugin name."),
    TRACER_MEMBER(should_trace_cache, "Dictionary caching should_trace results."),
    TRACER_MEMBER(trace_arcs, "Should we trace arcs, or just lines?"),
    TRACER_MEMBER(should_start_context, "Function for starting contexts."),
    TRACER_MEMBER(switch_context, "Function for switching to a new context."),
    TRACER_MEMBER(lock_data, "Function for locking access to self.data."),
    TRACER_MEMBER(unlock_data, "Function for unlocking access to self.data."),
    TRACER_MEMBER(disable_plugin, "Function for disabling a plugin."),
    {nullptr, 0, 0, 0, nullptr},
};

#undef TRACER_MEMBER

PyMethodDef CTracer_methods[] = {
    {"start", CTracer_start, METH_VARARGS, PyDoc_STR("Start the tracer")},
    {"stop", CTracer_stop, METH_VARARGS, PyDoc_STR("Stop the tracer")},
    {"get_stats", CTracer_get_stats, METH_VARARGS, PyDoc_STR("Get statistics about the tracing")},
    {"activity", CTracer_activity, METH_VARARGS, PyDoc_STR("Has there been any activity?")},
    {"reset_activity", CTracer_reset_activity, METH_VARARGS, PyDoc_STR("Reset the activity flag")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject CTracerType = {PyVarObject_HEAD_INIT(nullptr, 0)};

void CTracer_fill_type() {
    PyTypeObject &t = CTracerType;
    t.tp_name = "kestrow.CTracer";
    t.tp_basicsize = sizeof(CTracer);
    t.tp_itemsize = 0;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = PyDoc_STR("CTracer objects");
    t.tp_init = CTracer_init;
    t.tp_dealloc = CTracer_dealloc;
    t.tp_call = Tracer_call;
    t.tp_methods = CTracer_methods;
    t.tp_members = CTracer_members;
    t.tp_setattro = CTracer_setattro;
}
