// Concurrency-context stacks: one DataStack per concurrency id, found through a weak-key index.
#include "tracer.h"

using kestrow::Ref;

namespace {

// Stacks are added in blocks of this many.
constexpr int32_t kStacksGrowBy = 10;

// Makes room so that, after a registration, one allocated slot always follows the last stack.
int grow_context_stacks(CTracer *self, int32_t new_count) {
    if (new_count < self->context_stacks_capacity) {
        return 0;
    }
    if (self->context_stacks_capacity > INT32_MAX - kStacksGrowBy) {
        PyErr_NoMemory();
        return -1;
    }
    int32_t capacity = self->context_stacks_capacity + kStacksGrowBy;
    // The line path reaches its stack through active_stack, which may point into the array that
    // is about to move: keep it on the same stack.
    int32_t active = -1;
    if (self->context_stacks != nullptr && self->active_stack != &self->main_stack) {
        active = static_cast<int32_t>(self->active_stack - self->context_stacks);
    }
    auto *bigger = static_cast<DataStack *>(
        PyMem_Realloc(self->context_stacks, static_cast<size_t>(capacity) * sizeof(DataStack)));
    if (bigger == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    self->context_stacks = bigger;
    if (active >= 0) {
        self->active_stack = &bigger[active];
    }
    self->context_stacks_capacity = capacity;
    return 0;
}

// Gives a concurrency id seen for the first time the next stack. The slot is taken (initialised
// and counted) before the index store runs Python code, so another thread registering meanwhile
// gets a different one; if the store fails and nobody took a slot since, the count goes back.
int register_context(CTracer *self, PyObject *index, PyObject *id, kestrow::StackRef *out) {
    int32_t number = self->context_stacks_used;
    if (number == INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many concurrency contexts");
        return -1;
    }
    if (grow_context_stacks(self, number + 1) < 0) {
        return -1;
    }
    Ref value = Ref::steal(PyLong_FromLong(number));
    if (!value) {
        return -1;
    }
    DataStack_init(&self->context_stacks[number]);
    self->context_stacks_used = number + 1;
    if (PyObject_SetItem(index, id, value.get()) < 0) {
        if (self->context_stacks_used == number + 1) {
            self->context_stacks_used = number;
        }
        return -1;
    }
    out->index = number;
    return 0;
}

}  // namespace

namespace kestrow {

int CTracer_select_stack(CTracer *self, StackRef *out) {
    PyObject *concur_id_func = self->concur_id_func;
    if (concur_id_func == Py_None) {
        out->index = -1;
        return 0;
    }
    if (require_member(concur_id_func, "CTracer", "concur_id_func") == nullptr) {
        return -1;
    }
    if (self->context_stack_index == nullptr) {
        Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
        if (!weakref) {
            return -1;
        }
        Ref index = Ref::steal(PyObject_CallMethod(weakref.get(), "WeakKeyDictionary", nullptr));
        if (!index) {
            return -1;
        }
        // The import may have let another thread create the index first.
        if (self->context_stack_index == nullptr) {
            self->context_stack_index = index.release();
        }
    }
    Ref index = Ref::borrow(self->context_stack_index);
    Ref id = Ref::steal(PyObject_CallNoArgs(concur_id_func));
    if (!id) {
        return -1;
    }
    Ref value = Ref::steal(PyObject_GetItem(index.get(), id.get()));
    if (!value) {
        // Whatever the lookup's error, the id is treated as new; an id the index cannot hold
        // fails at the store below.
        PyErr_Clear();
        return register_context(self, index.get(), id.get(), out);
    }
    long number = PyLong_AsLong(value.get());
    if (number == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (number < 0 || number >= self->context_stacks_used) {
        PyErr_Format(PyExc_RuntimeError, "concurrency context number %ld is out of range", number);
        return -1;
    }
    out->index = static_cast<int32_t>(number);
    return 0;
}

void CTracer_release_context_stacks(CTracer *self) {
    if (self->context_stacks != nullptr) {
        for (int32_t i = 0; i < self->context_stacks_used; i++) {
            DataStack_dealloc(&self->context_stacks[i]);
        }
        PyMem_Free(self->context_stacks);
        self->context_stacks = nullptr;
    }
    Py_CLEAR(self->context_stack_index);
}

}  // namespace kestrow
