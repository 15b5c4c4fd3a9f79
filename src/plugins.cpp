// File-tracer plug-ins: dynamic source file names, line ranges, and the failure routine.
#include <cstdio>

#include "tracer.h"

using kestrow::Ref;

namespace {

// Prints and clears the pending exception. PyErr_Print would end the process for SystemExit; a
// plug-in must never end the traced program, so that one is reported like any other.
void report_pending_exception() {
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        PyErr_DisplayException(exc.get());
        return;
    }
    PyErr_Print();
}

}  // namespace

namespace kestrow {

void CTracer_plugin_failed(CTracer *self, PyObject *disposition) {
    report_pending_exception();
    Ref result;
    if (require_member(self->disable_plugin, "CTracer", "disable_plugin") != nullptr) {
        result = Ref::steal(PyObject_CallOneArg(self->disable_plugin, disposition));
    }
    if (result) {
        return;
    }
    static const char message[] = "Error occurred while disabling plug-in:\n";
    std::fwrite(message, 1, sizeof message - 1, stderr);
    report_pending_exception();
}

PluginDecision CTracer_dynamic_filename(CTracer *self, CFileDisposition *disposition,
                                        PyFrameObject *frame, Ref *name) {
    auto *d = reinterpret_cast<PyObject *>(disposition);
    Ref file_tracer = Ref::borrow(disposition->file_tracer);
    Ref source_filename = Ref::borrow(disposition->source_filename);
    Ref dynamic = Ref::steal(PyObject_CallMethodObjArgs(file_tracer.get(),
                                                        names::dynamic_source_filename,
                                                        source_filename.get(), frame, nullptr));
    if (!dynamic) {
        CTracer_plugin_failed(self, d);
        return PluginDecision::plugin_failed;
    }
    if (dynamic.get() == Py_None) {
        return PluginDecision::skip;
    }
    PyObject *cache = require_member(self->should_trace_cache, "CTracer", "should_trace_cache");
    if (cache == nullptr) {
        return PluginDecision::fail;
    }
    if (!PyDict_Check(cache)) {
        PyErr_Format(PyExc_TypeError, "CTracer.should_trace_cache must be a dict, not %T", cache);
        return PluginDecision::fail;
    }
    PyObject *found = nullptr;
    int status = PyDict_GetItemRef(cache, dynamic.get(), &found);
    if (status < 0) {
        return PluginDecision::fail;
    }
    if (status > 0) {
        Ref judged = Ref::steal(found);
        if (judged.get() == Py_None) {
            return PluginDecision::skip;
        }
        *name = std::move(dynamic);
        return PluginDecision::record;
    }
    if (require_member(self->check_include, "CTracer", "check_include") == nullptr) {
        return PluginDecision::fail;
    }
    Ref verdict = Ref::steal(PyObject_CallFunctionObjArgs(
        self->check_include, dynamic.get(), reinterpret_cast<PyObject *>(frame), nullptr));
    if (!verdict) {
        return PluginDecision::fail;
    }
    bool included = verdict.get() == Py_True;
    verdict = Ref();
    if (PyDict_SetItem(cache, dynamic.get(), included ? d : Py_None) < 0) {
        return PluginDecision::fail;
    }
    if (!included) {
        return PluginDecision::skip;
    }
    *name = std::move(dynamic);
    return PluginDecision::record;
}

namespace {

// The most source lines one line event of a file tracer may stand for.
constexpr int64_t kMaxRangeLines = int64_t{1} << 20;

// Converts one item of a line range, keeping the low 32 bits. 0, or -1 with an exception pending.
int range_item(PyObject *range, Py_ssize_t i, int32_t *out) {
    PyObject *item = PyTuple_GetItem(range, i);
    if (item == nullptr) {
        return -1;
    }
    long value = PyLong_AsLong(item);
    *out = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
    if (*out == -1 && PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

}  // namespace

int CTracer_plugin_line_range(CTracer *self, PyObject *file_tracer, PyObject *disposition,
                              PyFrameObject *frame, int32_t *first, int32_t *last) {
    Ref range = Ref::steal(PyObject_CallMethodObjArgs(file_tracer, names::line_number_range,
                                                      reinterpret_cast<PyObject *>(frame),
                                                      nullptr));
    bool ok = false;
    if (range) {
        if (!PyTuple_Check(range.get()) || PyTuple_GET_SIZE(range.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "line_number_range must return 2-tuple");
        } else {
            ok = range_item(range.get(), 0, first) == 0 && range_item(range.get(), 1, last) == 0;
            // One line event stands for a few source lines; a range of billions (a plug-in's bug,
            // or an item whose low 32 bits wrapped) would exhaust memory recording them.
            int64_t span = int64_t{*last} - int64_t{*first} + 1;
            if (ok && *first != -1 && span > kMaxRangeLines) {
                PyErr_Format(PyExc_ValueError,
                             "line_number_range returned (%d, %d): more than %lld lines", *first,
                             *last, static_cast<long long>(kMaxRangeLines));
                ok = false;
            }
        }
    }
    // The result goes before anything else runs, the failure routine included.
    range = Ref();
    if (!ok) {
        CTracer_plugin_failed(self, disposition);
        return 0;
    }
    return 1;
}

}  // namespace kestrow
