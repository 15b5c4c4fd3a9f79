// DataStack and FrameEntry: the per-context stack of records of frames whose call event the
// tracer handled.
#pragma once

#include <cstdint>

#include "export.h"
#include "pyref.h"

// What the tracer keeps for one frame. All three references are owned by the entry, so a
// controlling layer that clears its caches while frames run cannot pull them from under us.
struct FrameEntry {
    PyObject *file_set;      // the set receiving the frame's lines; null when not recorded
    PyObject *disposition;   // the frame's CFileDisposition, None, or null while unfilled
    PyObject *file_tracer;   // the plug-in file tracer, None, or null while unfilled
    int32_t prev_line;       // the line the frame's next arc starts from
    int32_t opened_context;  // 1 when this frame's call event opened the current context
    // The frame and code the entry was filled for, as identities only (never dereferenced, no
    // reference held), so that start() can tell the entries of frames that still run.
    const void *frame;
    const void *code;
};

struct DataStack {
    int32_t depth;     // index of the top entry, -1 when empty
    int32_t capacity;  // entries allocated
    FrameEntry *entries;
};

KESTROW_EXPORT int DataStack_init(DataStack *stack);
KESTROW_EXPORT int DataStack_grow(DataStack *stack);

// DataStack_grow with the usual case, a free entry already allocated, settled inline: every
// call event pushes an entry.
inline int DataStack_push(DataStack *stack) {
    if (stack->depth + 1 < stack->capacity) {
        stack->depth++;
        return 0;
    }
    return DataStack_grow(stack);
}
KESTROW_EXPORT void DataStack_dealloc(DataStack *stack);

// What the tracer's current entry is while its stack is empty: an entry that records nothing, so
// that a line event need not look at the depth. Nothing ever writes to it.
extern FrameEntry empty_entry;

// The top entry, or empty_entry when the stack is empty.
inline FrameEntry *DataStack_top(DataStack *stack) {
    return stack->depth >= 0 ? &stack->entries[stack->depth] : &empty_entry;
}

// Releases whatever the entry holds and leaves it recording nothing.
void FrameEntry_clear(FrameEntry *entry);

// The references a slot held when a call event took it over.
struct FrameEntryRefs {
    kestrow::Ref file_set;
    kestrow::Ref disposition;
    kestrow::Ref file_tracer;
};

// Detaches the entry's references, to the caller, and leaves it recording nothing. A call event
// takes its slot over this way rather than releasing at once: a frame usually refills the slot
// with the very objects the last frame at that depth had, and then no count need change.
inline FrameEntryRefs FrameEntry_take(FrameEntry *entry) {
    FrameEntryRefs refs{kestrow::Ref::steal(entry->file_set),
                        kestrow::Ref::steal(entry->disposition),
                        kestrow::Ref::steal(entry->file_tracer)};
    *entry = FrameEntry{};
    return refs;
}

// Empties the stack and every slot but keeps the array, so a pointer into it stays valid.
void DataStack_reset(DataStack *stack);
