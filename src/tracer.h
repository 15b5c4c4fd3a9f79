// CTracer: the configured recorder object and the entry points of its event engine.
#pragma once

#include <atomic>
#include <cstdint>

#include "datastack.h"
#include "export.h"
#include "filecache.h"
#include "filedisposition.h"
#include "pyref.h"

struct CTracer {
    PyObject_HEAD
    // Members the controlling layer assigns; each is owned or null when never assigned.
    PyObject *should_trace;
    PyObject *check_include;
    PyObject *warn;
    PyObject *concur_id_func;
    PyObject *data;
    PyObject *file_tracers;
    PyObject *should_trace_cache;
    PyObject *trace_arcs;
    PyObject *should_start_context;
    PyObject *switch_context;
    PyObject *lock_data;
    PyObject *unlock_data;
    PyObject *disable_plugin;

    int32_t running;       // written only by atomic exchange
    int32_t record_arcs;
    int32_t had_activity;  // written only by atomic exchange
    PyObject *current_context;
    DataStack main_stack;
    PyObject *context_stack_index;
    DataStack *context_stacks;
    int32_t context_stacks_capacity;
    int32_t context_stacks_used;
    DataStack *active_stack;   // main_stack or an element of context_stacks
    FrameEntry *current_entry; // active_stack's top entry, or empty_entry while it has none
    FileCacheSlot file_cache[kFileCacheSlots];
};

KESTROW_EXPORT PyTypeObject CTracerType;
KESTROW_EXPORT int CTracer_intern_strings();

// Sets up the type object's slots; called once before the type is readied.
void CTracer_fill_type();

// Finds the frame type's setter of "f_trace" for call events to store through; without it they
// store the attribute by name. Called once, after the names are interned. Leaves no exception.
void CTracer_find_trace_setter();

// The native trace callback installed by start().
int CTracer_on_event(PyObject *self, PyFrameObject *frame, int what, PyObject *arg);

// Interned names, made once per process by CTracer_intern_strings.
namespace kestrow::names {
extern PyObject *kestrow_plugin;
extern PyObject *kestrow_plugin_name;
extern PyObject *dynamic_source_filename;
extern PyObject *line_number_range;
extern PyObject *f_trace;
}  // namespace kestrow::names

namespace kestrow {

inline int32_t load_flag(const int32_t &flag) {
    return std::atomic_ref<int32_t>(const_cast<int32_t &>(flag)).load(std::memory_order_relaxed);
}
inline void store_flag(int32_t &flag, int32_t value) {
    std::atomic_ref<int32_t>(flag).exchange(value, std::memory_order_seq_cst);
}

// Fails with an AttributeError naming the member when the controlling layer never assigned it.
// Returns the member (borrowed) or null.
PyObject *require_member(PyObject *member, const char *owner, const char *name);

// The stack a call or return event works on, named by position rather than address: the array
// of context stacks may move while Python code runs in the middle of an event.
struct StackRef {
    int32_t index;  // -1 for main_stack, else the position in context_stacks
    DataStack *get(CTracer *t) const {
        return index < 0 ? &t->main_stack : &t->context_stacks[index];
    }
};

// Selects the stack for a call or return event; -1 with an exception pending on failure.
int CTracer_select_stack(CTracer *self, StackRef *out);

// Releases the per-concurrency-context stacks and their index.
void CTracer_release_context_stacks(CTracer *self);

// Reports a plug-in failure (an exception is pending) and hands the disposition to the
// controlling layer's disable_plugin. Leaves no exception pending.
void CTracer_plugin_failed(CTracer *self, PyObject *disposition);

// Asks the entry's file tracer for the lines of the current line event. Returns 1 with the range
// in first/last, or 0 when a plug-in failure was reported and nothing is to be recorded.
int CTracer_plugin_line_range(CTracer *self, PyObject *file_tracer, PyObject *disposition,
                              PyFrameObject *frame, int32_t *first, int32_t *last);

// What the plug-in steps of a call event decided.
enum class PluginDecision { record, skip, fail, plugin_failed };

// Resolves the dynamic source file name of a frame; on `record`, `name` holds it.
PluginDecision CTracer_dynamic_filename(CTracer *self, CFileDisposition *disposition,
                                        PyFrameObject *frame, Ref *name);

}  // namespace kestrow
