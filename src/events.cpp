// The event engine: the trace callback and the call, line and return paths.
#include <cstdint>

#include "tracer.h"

#include <opcode.h>  // RESUME, YIELD_VALUE: the interpreter's own numbers for them

using kestrow::Ref;
using kestrow::StackRef;

namespace {

// Ints for line numbers, made once per process. The interpreter caches only the ints up to 256,
// and making a new int per line event costs more than the set insertion it feeds. The cached
// objects are ordinary immutable ints, so sharing them is invisible to whoever reads the sets.
constexpr int32_t kCachedLines = 1 << 16;
PyObject *line_ints[kCachedLines];

// A new reference to the int for a line number, or null with an exception pending.
PyObject *line_value(int32_t line) {
    if (line >= 0 && line < kCachedLines) {
        PyObject *value = line_ints[line];
        if (value == nullptr) {
            value = PyLong_FromLong(line);
            if (value == nullptr) {
                return nullptr;
            }
            line_ints[line] = value;
        }
        return Py_NewRef(value);
    }
    return PyLong_FromLong(line);
}

// An arc key holds each line's magnitude in 28 bits; a larger line would decode to another pair.
constexpr int64_t kArcLineLimit = int64_t{1} << 28;

int64_t magnitude(int32_t line) { return line < 0 ? -int64_t{line} : line; }

// 0 when both lines fit an arc key, or -1 with OverflowError pending.
int check_arc_lines(int32_t from, int32_t to) {
    if (magnitude(from) < kArcLineLimit && magnitude(to) < kArcLineLimit) {
        return 0;
    }
    PyErr_Format(PyExc_OverflowError,
                 "cannot record the arc (%d, %d): arc lines must be below %lld", from, to,
                 static_cast<long long>(kArcLineLimit));
    return -1;
}

// Arc key ints, cached by key in a small direct-mapped table so that a line event whose arc is
// already recorded finds the very object in the file set. Like the line ints, these are ordinary
// immutable ints: sharing them is invisible to whoever reads the sets.
struct CachedArc {
    uint64_t key;
    PyObject *value;  // owned; null while the slot is empty
};
constexpr int kCachedArcBits = 12;
constexpr size_t kCachedArcs = size_t{1} << kCachedArcBits;
CachedArc arc_ints[kCachedArcs];

CachedArc &arc_slot(uint64_t key) {
    // Fibonacci hashing: arcs that share a line, or mirror each other, still spread out.
    return arc_ints[(key * 0x9E3779B97F4A7C15u) >> (64 - kCachedArcBits)];
}

// Remembers `value` (an int equal to key) as the object of its arc key.
void cache_arc(uint64_t key, PyObject *value) {
    CachedArc &slot = arc_slot(key);
    if (slot.value == value) {
        return;
    }
    PyObject *old = slot.value;
    slot.key = key;
    slot.value = Py_NewRef(value);
    Py_XDECREF(old);
}

// The arc key of (from, to) when both magnitudes fit, else false.
bool arc_key(int32_t from, int32_t to, uint64_t *key) {
    int64_t a = magnitude(from);
    int64_t b = magnitude(to);
    if (a >= kArcLineLimit || b >= kArcLineLimit) {
        return false;
    }
    uint64_t k = static_cast<uint64_t>(a) | (static_cast<uint64_t>(b) << 28);
    if (from < 0) {
        k |= uint64_t{1} << 56;
    }
    if (to < 0) {
        k |= uint64_t{1} << 57;
    }
    *key = k;
    return true;
}

// A new reference to the int of the arc key of (from, to), or null with an exception pending.
PyObject *arc_value(int32_t from, int32_t to) {
    uint64_t key;
    if (!arc_key(from, to, &key)) {
        check_arc_lines(from, to);
        return nullptr;
    }
    CachedArc &slot = arc_slot(key);
    if (slot.value != nullptr && slot.key == key) {
        return Py_NewRef(slot.value);
    }
    PyObject *value = PyLong_FromUnsignedLongLong(key);
    if (value != nullptr) {
        cache_arc(key, value);
    }
    return value;
}

// The bytes of a code object's (unspecialised) bytecode and the frame's current offset in it.
struct Bytecode {
    Ref bytes;
    const unsigned char *units = nullptr;
    Py_ssize_t size = 0;
    int offset = -1;

    // 0, or -1 with an exception pending when the bytecode cannot be had.
    int load(PyCodeObject *code, PyFrameObject *frame) {
        bytes = Ref::steal(PyCode_GetCode(code));
        if (!bytes) {
            return -1;
        }
        units = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(bytes.get()));
        size = PyBytes_GET_SIZE(bytes.get());
        offset = PyFrame_GetLasti(frame);
        return 0;
    }
    bool in_range(Py_ssize_t at) const { return offset >= 0 && at < size; }
};

// Only the code of generators and coroutines suspends and resumes; any other frame's call event
// is its start and its return event its end, which spares reading the bytecode.
bool can_suspend(PyCodeObject *code) {
    constexpr int kSuspending = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR |
                                CO_ITERABLE_COROUTINE;
    return (code->co_flags & kSuspending) != 0;
}

// A call event arrives while the frame stands at a resume instruction, whose argument is 0 where
// the code begins and not 0 after a suspension (a generator or coroutine going on). A frame that
// stands anywhere else has never run (an exception thrown into a generator that had not started
// reaches it before its first resume instruction): a start, whatever that instruction's argument.
// Since 3.15 a generator expression's code also begins with a resume instruction whose argument is
// not 0, run while the expression makes its generator; no call event arrives there.
// 1 for a real call, 0 for a resumption, -1 with an exception pending.
int is_real_call(PyCodeObject *code, PyFrameObject *frame) {
    if (!can_suspend(code)) {
        return 1;
    }
    Bytecode bc;
    if (bc.load(code, frame) < 0) {
        return -1;
    }
    if (!bc.in_range(bc.offset + 1)) {
        return 1;
    }
    if (bc.units[bc.offset] != RESUME) {
        return 1;
    }
    return bc.units[bc.offset + 1] == 0;
}

// A frame that suspends (a yield or an await) stands at its yield instruction, just before a
// resume instruction; one that finishes does not. Standing before a resume instruction alone is
// not enough: an exception thrown into a generator that never started unwinds it from the unit
// just before its first resume instruction, and that frame is finished. A return at the last
// code unit is always real.
// 1 for a real return, 0 for a suspension, -1 with an exception pending.
int is_real_return(PyCodeObject *code, PyFrameObject *frame) {
    if (!can_suspend(code)) {
        return 1;
    }
    Bytecode bc;
    if (bc.load(code, frame) < 0) {
        return -1;
    }
    if (!bc.in_range(bc.offset + 2)) {
        return 1;
    }
    return bc.units[bc.offset] != YIELD_VALUE || bc.units[bc.offset + 2] != RESUME;
}

// The general search of set_holds_int, for the object itself or another exact int of the same
// value, in the interpreter's probe order (a run of neighbouring slots, then a jump stirred by the
// hash's high bits) so that it ends at the slot where an add would put a missing value. Gives up
// after a bounded number of slots. Returns the object found, or null.
[[gnu::noinline]] PyObject *find_equal_int(PyObject *set, uint64_t v, PyObject *same,
                                            uint32_t *hint) {
    auto *so = reinterpret_cast<PySetObject *>(set);
    const auto hash = static_cast<Py_hash_t>(v);
    const auto mask = static_cast<size_t>(so->mask);
    const setentry *table = so->table;
    constexpr size_t kLinearProbes = 9;
    constexpr int kPerturbShift = 5;
    constexpr int kMaxSlots = 100;
    size_t perturb = static_cast<size_t>(hash);
    size_t i = static_cast<size_t>(hash) & mask;
    for (int seen = 0; seen < kMaxSlots;) {
        size_t run = i + kLinearProbes <= mask ? kLinearProbes + 1 : 1;
        for (size_t n = 0; n < run; n++, seen++) {
            const setentry *entry = &table[i + n];
            PyObject *key = entry->key;
            if (key == nullptr) {
                return nullptr;
            }
            if (entry->hash != hash) {
                continue;
            }
            bool equal = key == same;
            if (!equal && PyLong_CheckExact(key)) {
                int overflow = 0;
                long long held = PyLong_AsLongLongAndOverflow(key, &overflow);
                equal = overflow == 0 && held >= 0 && static_cast<uint64_t>(held) == v;
            }
            if (equal) {
                *hint = static_cast<uint32_t>(i + n);
                return key;
            }
        }
        perturb >>= kPerturbShift;
        i = (i * 5 + 1 + perturb) & mask;
    }
    return nullptr;
}

// Where in its set's table a value was last found, by (set, value), so that a value the probe
// order puts far from its first slot is found in one step next time. A hint is only a place to
// look: what is there is checked, so a stale one (the set changed, or another set took the hint)
// costs a full search and nothing else.
constexpr int kSlotHintBits = 14;
uint32_t slot_hints[size_t{1} << kSlotHintBits];

uint32_t &slot_hint(PyObject *set, uint64_t v) {
    uint64_t mixed = v + (reinterpret_cast<uintptr_t>(set) >> 4) * 0x10001u;
    return slot_hints[(mixed * 0x9E3779B97F4A7C15u) >> (64 - kSlotHintBits)];
}

// What the first slot of the probe order of the int v (0 <= v < PyHASH_MODULUS) holds.
inline PyObject *first_slot_key(PyObject *set, uint64_t v) {
    auto *so = reinterpret_cast<PySetObject *>(set);
    return so->table[v & static_cast<uint64_t>(so->mask)].key;
}

// Whether the object `value` (not null), an int equal to v (0 <= v < PyHASH_MODULUS), is in the
// first slot of v's probe order or in one of the two after it, where a value whose first slot was
// taken goes. The object itself in any slot proves that the set holds it; not finding it there
// proves nothing.
inline bool near_first_slot(PyObject *set, uint64_t v, const PyObject *value) {
    auto *so = reinterpret_cast<PySetObject *>(set);
    const auto mask = static_cast<size_t>(so->mask);
    const size_t i = static_cast<size_t>(v) & mask;
    const setentry *table = so->table;
    if (table[i].key == value) {
        return true;
    }
    return i + 2 <= mask && (table[i + 1].key == value || table[i + 2].key == value);
}

// Whether the set already holds the int v, as the object `same` (may be null) or as another exact
// int of that value. For 0 <= v below the hash modulus an int's hash is its value, so the slot to
// look at is known. This only reads the table of a set that nothing changes meanwhile (the GIL is
// held); null means only "not seen", and the caller then adds as usual. Skipping the add of a
// value that is present leaves the set exactly as adding it would.
inline PyObject *set_holds_int(PyObject *set, uint64_t v, PyObject *same) {
    if (v >= PyHASH_MODULUS) {
        return nullptr;
    }
    auto *so = reinterpret_cast<PySetObject *>(set);
    const auto mask = static_cast<size_t>(so->mask);
    PyObject *first = first_slot_key(set, v);
    if (first == nullptr) {
        return nullptr;  // the first slot of its probe order is free: v is not there
    }
    if (first == same) {
        return first;
    }
    uint32_t &hint = slot_hint(set, v);
    if (same != nullptr && hint <= mask && so->table[hint].key == same) {
        return same;
    }
    return find_equal_int(set, v, same, &hint);
}

// The slow half of a line event: makes the value, adds it, and moves prev_line on.
[[gnu::noinline]] int add_line(CTracer *self, PyObject *file_set, FrameEntry *entry,
                               int32_t line) {
    PyObject *value = self->record_arcs ? arc_value(entry->prev_line, line) : line_value(line);
    if (value == nullptr) {
        return -1;
    }
    int status = PySet_Add(file_set, value);
    Py_DECREF(value);
    if (status < 0) {
        return -1;
    }
    entry->prev_line = line;
    return 0;
}

// Whether the set already holds the arc key of (from, to), found as described at set_holds_int.
bool holds_arc(PyObject *file_set, int32_t from, int32_t to) {
    uint64_t key;
    if (!arc_key(from, to, &key)) {
        return false;  // adding it reports the overflow
    }
    CachedArc &slot = arc_slot(key);
    PyObject *cached = slot.key == key ? slot.value : nullptr;  // null when empty
    PyObject *found = set_holds_int(file_set, key, cached);
    if (found == nullptr) {
        return false;
    }
    if (found != cached) {
        cache_arc(key, found);
    }
    return true;
}

// The general half of record_arc: settles an arc already in the set, else adds it.
[[gnu::noinline]] int record_arc_slow(CTracer *self, PyObject *file_set, FrameEntry *entry,
                                      int32_t line) {
    if (holds_arc(file_set, entry->prev_line, line)) {
        entry->prev_line = line;
        return 0;
    }
    return add_line(self, file_set, entry, line);
}

// Nearly every arc is already recorded as its cached object, in or next to the first slot its
// hash picks in the set's table: whether that is so for the arc from the entry's prev_line to
// `line`.
inline bool arc_in_first_slot(PyObject *file_set, const FrameEntry *entry, int32_t line) {
    uint64_t key;
    if (!arc_key(entry->prev_line, line, &key) || key >= PyHASH_MODULUS) {
        return false;
    }
    const CachedArc &slot = arc_slot(key);
    return slot.key == key && slot.value != nullptr && near_first_slot(file_set, key, slot.value);
}

// The same for a line: its cached int in or next to the first slot of its probe order.
inline bool line_in_first_slot(PyObject *file_set, int32_t line) {
    if (static_cast<uint32_t>(line) >= kCachedLines) {
        return false;
    }
    PyObject *cached = line_ints[line];
    return cached != nullptr && near_first_slot(file_set, static_cast<uint64_t>(line), cached);
}

// The arcs-mode half of record_line: the usual case settled here, everything else by
// record_arc_slow.
inline int record_arc(CTracer *self, PyObject *file_set, FrameEntry *entry, int32_t line) {
    if (arc_in_first_slot(file_set, entry, line)) {
        entry->prev_line = line;
        return 0;
    }
    return record_arc_slow(self, file_set, entry, line);
}

// Adds one line (lines mode) or the arc ending at it (arcs mode) and moves prev_line on. Most line
// events repeat what is already recorded: those are settled by looking into the set, without
// making an int or calling into the set.
inline int record_line(CTracer *self, PyObject *file_set, FrameEntry *entry, int32_t line) {
    if (self->record_arcs) {
        return record_arc(self, file_set, entry, line);
    }
    if (line >= 0) {
        PyObject *cached = line < kCachedLines ? line_ints[line] : nullptr;
        if (set_holds_int(file_set, static_cast<uint64_t>(line), cached) != nullptr) {
            entry->prev_line = line;
            return 0;
        }
    }
    return add_line(self, file_set, entry, line);
}

// Makes `held` a reference to `o`, keeping the one it has when it is already that object.
inline void hold(Ref *held, PyObject *o) {
    if (held->get() != o) {
        *held = Ref::borrow(o);
    }
}

// kestrow::require_member, with the usual case (the member was assigned) settled inline: a call
// event checks several members.
inline PyObject *require(PyObject *member, const char *owner, const char *name) {
    return member != nullptr ? member : kestrow::require_member(member, owner, name);
}

PyObject *require_dict(PyObject *member, const char *name) {
    if (require(member, "CTracer", name) == nullptr) {
        return nullptr;
    }
    if (!PyDict_Check(member)) {
        PyErr_Format(PyExc_TypeError, "CTracer.%s must be a dict, not %T", name, member);
        return nullptr;
    }
    return member;
}

PyObject *call_member(PyObject *member, const char *name, PyObject *arg1 = nullptr,
                      PyObject *arg2 = nullptr) {
    if (require(member, "CTracer", name) == nullptr) {
        return nullptr;
    }
    // The same positional call as PyObject_CallFunctionObjArgs, without building an argument
    // list from varargs: lock_data and unlock_data run at every recorded call event.
    if (arg1 == nullptr) {
        return PyObject_CallNoArgs(member);
    }
    if (arg2 == nullptr) {
        return PyObject_CallOneArg(member, arg1);
    }
    PyObject *args[] = {arg1, arg2};
    return PyObject_Vectorcall(member, args, 2, nullptr);
}

// Finds the file set in data for a recorded file name, or creates and stores an empty one (and
// then notes the plug-in that produced the file). Runs between lock_data and unlock_data.
int find_file_set(CTracer *self, PyObject *name, PyObject *plugin_name, Ref *file_set) {
    PyObject *data = require_dict(self->data, "data");
    if (data == nullptr) {
        return -1;
    }
    PyObject *found = nullptr;
    int status = PyDict_GetItemRef(data, name, &found);
    if (status < 0) {
        return -1;
    }
    if (status > 0) {
        *file_set = Ref::steal(found);
        if (!PySet_Check(found)) {
            PyErr_Format(PyExc_TypeError, "CTracer.data[%R] must be a set, not %T", name, found);
            return -1;
        }
        return 0;
    }
    Ref created = Ref::steal(PySet_New(nullptr));
    if (!created || PyDict_SetItem(data, name, created.get()) < 0) {
        return -1;
    }
    *file_set = std::move(created);
    if (plugin_name != nullptr) {
        PyObject *file_tracers = require_dict(self->file_tracers, "file_tracers");
        if (file_tracers == nullptr || PyDict_SetItem(file_tracers, name, plugin_name) < 0) {
            return -1;
        }
    }
    return 0;
}

// Obtains the file set under the controlling layer's data lock. unlock_data follows every
// successful lock_data; an error from the lookup is set aside while it runs, so it is not called
// with an exception pending, and is restored afterwards (unlock_data's own error wins, with the
// first one as its context). `filename` is the code file's name, which keys the cache. `held` is
// the set the entry's slot held: when that is the one found, its reference is handed over to
// `file_set`. Otherwise it is left for the caller to release after unlock_data, since a release
// may run Python code.
int locked_file_set(CTracer *self, PyObject *filename, PyObject *name, PyObject *plugin_name,
                    Ref *held, Ref *file_set) {
    Ref locked = Ref::steal(call_member(self->lock_data, "lock_data"));
    if (!locked) {
        return -1;
    }
    // The lock may have run Python code that changed data: the cache is consulted only now.
    int status = 0;
    uint64_t generation = 0;
    Ref data;  // the dictionary looked into, when the cache did not answer
    if (PyObject *cached = kestrow::FileCache_file_set(self->file_cache, filename, name,
                                                       self->data)) {
        *file_set = cached == held->get() ? std::move(*held) : Ref::borrow(cached);
    } else {
        // Held: the lookup may run Python code (comparing keys), which may assign another one.
        data = Ref::borrow(self->data);
        status = find_file_set(self, name, plugin_name, file_set);
        // What was found holds until data next changes; watching starts before the count is read.
        if (status == 0 && kestrow::FileCache_watch(data.get())) {
            generation = kestrow::FileCache_generation();
        }
    }
    PyObject *first_error = status < 0 ? PyErr_GetRaisedException() : nullptr;
    Ref unlocked = Ref::steal(call_member(self->unlock_data, "unlock_data"));
    if (!unlocked) {
        if (first_error != nullptr) {
            PyObject *second_error = PyErr_GetRaisedException();
            PyException_SetContext(second_error, first_error);
            PyErr_SetRaisedException(second_error);
        }
        *file_set = Ref();
        return -1;
    }
    if (first_error != nullptr) {
        PyErr_SetRaisedException(first_error);
        *file_set = Ref();
        return -1;
    }
    // Remembered outside the lock: replacing a slot releases what it held. A change of data
    // while unlock_data ran has moved the count past `generation`, so nothing stale is taken.
    if (generation != 0) {
        kestrow::FileCache_remember_file_set(self->file_cache, filename, name, data.get(),
                                             file_set->get(), generation);
    }
    return 0;
}

// Finds the disposition of a code file, asking should_trace once per name. `out` may come in
// holding a disposition, which is kept when it is the one found.
int find_disposition(CTracer *self, PyObject *filename, PyFrameObject *frame, Ref *out) {
    if (require_dict(self->should_trace_cache, "should_trace_cache") == nullptr) {
        return -1;
    }
    if (PyObject *cached = kestrow::FileCache_disposition(self->file_cache, filename,
                                                          self->should_trace_cache)) {
        hold(out, cached);
        return 0;
    }
    // should_trace runs Python code, which may assign the tracer another dictionary.
    Ref cache_ref = Ref::borrow(self->should_trace_cache);
    PyObject *cache = cache_ref.get();
    PyObject *found = nullptr;
    int status = PyDict_GetItemRef(cache, filename, &found);
    if (status < 0) {
        return -1;
    }
    Ref disposition;
    bool asked = false;
    if (status > 0) {
        disposition = Ref::steal(found);
    } else {
        disposition = Ref::steal(call_member(self->should_trace, "should_trace", filename,
                                             reinterpret_cast<PyObject *>(frame)));
        if (!disposition) {
            return -1;
        }
        asked = true;
    }
    // Anything else would have its memory read as a disposition's members.
    if (disposition.get() != Py_None && !CFileDisposition_check(disposition.get())) {
        PyErr_Format(PyExc_TypeError,
                     asked ? "should_trace must return a CFileDisposition or None, not %T"
                           : "should_trace_cache values must be CFileDisposition or None, not %T",
                     disposition.get());
        return -1;
    }
    if (asked && PyDict_SetItem(cache, filename, disposition.get()) < 0) {
        return -1;
    }
    // should_trace may have replaced the tracer's dictionary: remember only from the one written.
    if (!asked || cache == self->should_trace_cache) {
        kestrow::FileCache_remember_disposition(self->file_cache, filename, cache,
                                                disposition.get());
    }
    *out = std::move(disposition);
    return 0;
}

PyObject *require_disposition_member(PyObject *member, const char *name) {
    return require(member, "CFileDisposition", name);
}

// kestrow::CTracer_select_stack, with the single-stack case (no concurrency-id function) inline:
// every call and return event selects a stack.
inline int select_stack(CTracer *self, kestrow::StackRef *out) {
    if (self->concur_id_func == Py_None) {
        out->index = -1;
        return 0;
    }
    return kestrow::CTracer_select_stack(self, out);
}

// Opens a dynamic context when none is current and the controlling layer starts one here.
int start_context(CTracer *self, PyFrameObject *frame, StackRef where, int32_t depth) {
    if (self->should_start_context == Py_None || self->current_context != Py_None) {
        return 0;
    }
    Ref context = Ref::steal(call_member(self->should_start_context, "should_start_context",
                                         reinterpret_cast<PyObject *>(frame)));
    if (!context) {
        return -1;
    }
    if (context.get() == Py_None) {
        return 0;
    }
    if (self->current_context != Py_None) {
        // Another thread's event opened a context while the layer was deciding. There is one
        // context per tracer and it was announced first; this frame opens none.
        return 0;
    }
    Py_XSETREF(self->current_context, Py_NewRef(context.get()));
    where.get(self)->entries[depth].opened_context = 1;
    Ref switched = Ref::steal(call_member(self->switch_context, "switch_context", context.get()));
    return switched ? 0 : -1;
}

// The frame type's own setter of "f_trace" (null when it cannot be found), found once at module
// set-up. A store of the attribute on a frame looks the name up in the frame type and calls this
// very setter; calling it directly gives the same result without the lookup, which is most of
// what the store costs, at every call event.
setter frame_trace_setter = nullptr;
void *frame_trace_closure = nullptr;

// Sets the frame's "f_trace" to the tracer. Only a frame type that refuses the attribute fails
// here, and the frame is still handled.
void set_frame_trace(PyFrameObject *frame, CTracer *self) {
    auto *op = reinterpret_cast<PyObject *>(frame);
    auto *value = reinterpret_cast<PyObject *>(self);
    // The Python-level entry hands on whatever object it was called with, not always a frame.
    int status = frame_trace_setter != nullptr && PyFrame_Check(op)
                     ? frame_trace_setter(op, value, frame_trace_closure)
                     : PyObject_SetAttr(op, kestrow::names::f_trace, value);
    if (status < 0) {
        PyErr_Clear();
    }
}

// The frame's code, borrowed: the frame holds it for as long as it runs, and it runs throughout
// its own event.
PyCodeObject *frame_code(PyFrameObject *frame) {
    PyCodeObject *code = PyFrame_GetCode(frame);
    Py_DECREF(code);
    return code;
}

// The call path once the entry is pushed: fills the entry at `depth` of the stack `where`, and
// returns the event's result with every reference it took released.
int fill_call_entry(CTracer *self, PyFrameObject *frame, StackRef where, int32_t depth) {
    // Python code runs later in this event, and may let other threads move the stacks; the entry
    // is found again by position each time it is written.
    auto entry = [self, where, depth] { return &where.get(self)->entries[depth]; };
    // What the slot's previous frame left is detached now, so that an event that fails before
    // filling the entry leaves one that records nothing and opened no context. It is released
    // when this function ends, unless the entry is refilled with the same objects.
    FrameEntryRefs held = FrameEntry_take(entry());

    if (start_context(self, frame, where, depth) < 0) {
        return -1;
    }

    PyCodeObject *co = frame_code(frame);
    Ref disposition = std::move(held.disposition);
    if (find_disposition(self, co->co_filename, frame, &disposition) < 0) {
        return -1;
    }

    Ref recorded_name;  // null: the frame is not recorded
    Ref file_tracer = std::move(held.file_tracer);  // read only once it holds the disposition's
    Ref plugin_name;
    if (disposition.get() != Py_None) {
        auto *d = reinterpret_cast<CFileDisposition *>(disposition.get());
        if (require_disposition_member(d->trace, "trace") == nullptr) {
            return -1;
        }
        if (d->trace == Py_True) {
            if (require_disposition_member(d->source_filename, "source_filename") == nullptr ||
                require_disposition_member(d->file_tracer, "file_tracer") == nullptr) {
                return -1;
            }
            Ref source_filename = Ref::borrow(d->source_filename);
            hold(&file_tracer, d->file_tracer);
            if (file_tracer.get() != Py_None) {
                Ref plugin = Ref::steal(
                    PyObject_GetAttr(file_tracer.get(), kestrow::names::kestrow_plugin));
                if (!plugin) {
                    return -1;
                }
                plugin_name = Ref::steal(
                    PyObject_GetAttr(plugin.get(), kestrow::names::kestrow_plugin_name));
                if (!plugin_name) {
                    return -1;
                }
            }
            if (require_disposition_member(d->has_dynamic_filename, "has_dynamic_filename") ==
                nullptr) {
                return -1;
            }
            if (d->has_dynamic_filename == Py_True) {
                switch (kestrow::CTracer_dynamic_filename(self, d, frame, &recorded_name)) {
                case kestrow::PluginDecision::record:
                case kestrow::PluginDecision::skip:
                    break;
                case kestrow::PluginDecision::fail:
                    return -1;
                case kestrow::PluginDecision::plugin_failed:
                    // Reported and handed to disable_plugin; the entry stays empty.
                    return 0;
                }
            } else if (source_filename.get() != Py_None) {
                recorded_name = std::move(source_filename);
            }
        }
    }

    int real = is_real_call(co, frame);
    if (real < 0) {
        return -1;
    }
    const int32_t start_line = real ? -co->co_firstlineno : PyFrame_GetLineNumber(frame);
    // The exit arc joins the frame's starting point or last line to its first line. When those
    // cannot be packed the frame fails here, before its entry is filled: failing its return event
    // instead would leave the entry on the stack, to catch the events of every later frame.
    if (recorded_name && self->record_arcs &&
        check_arc_lines(start_line, -co->co_firstlineno) < 0) {
        return -1;
    }

    Ref file_set;
    if (recorded_name &&
        locked_file_set(self, co->co_filename, recorded_name.get(), plugin_name.get(),
                        &held.file_set, &file_set) < 0) {
        return -1;
    }
    // What the slot held and is not refilled with goes before the entry is filled: a release may
    // run Python code (a finaliser), and that may let other threads use this stack meanwhile.
    held.file_set = Ref();  // the other two were handed on at their lookups
    if (!recorded_name) {
        file_tracer = Ref();
    }

    // Another thread sharing this stack may have filled the slot meanwhile; what it left is
    // released only after all three fields are written, since a release may run Python code.
    FrameEntry *e = entry();
    Ref old_file_set = Ref::steal(std::exchange(e->file_set, file_set.release()));
    Ref old_file_tracer = Ref::steal(std::exchange(
        e->file_tracer, recorded_name ? file_tracer.release() : Py_NewRef(Py_None)));
    Ref old_disposition = Ref::steal(std::exchange(e->disposition, disposition.release()));
    e->frame = frame;
    e->code = co;

    set_frame_trace(frame, self);

    entry()->prev_line = start_line;
    return 0;
}

int CTracer_on_call(CTracer *self, PyFrameObject *frame) {
    StackRef where;
    if (select_stack(self, &where) < 0) {
        return -1;
    }
    DataStack *stack = where.get(self);
    // active_stack changes only together with current_entry: line events trust the pair.
    if (DataStack_push(stack) < 0) {
        return -1;
    }
    const int32_t depth = stack->depth;
    self->active_stack = stack;
    self->current_entry = &stack->entries[depth];
    int status = fill_call_entry(self, frame, where, depth);
    // Whatever the event released may have run Python code (a finaliser), and that may have let
    // another thread move the stacks: the entry is designated again once nothing is left to
    // release, failed events included, whose entry stays pushed. Another thread sharing the stack
    // may even have emptied it meanwhile, and then there is no entry to designate.
    stack = where.get(self);
    self->active_stack = stack;
    self->current_entry = stack->depth >= 0 ? &stack->entries[depth] : &empty_entry;
    return status;
}

// The line path of a frame whose file tracer maps each line event to a range of source lines.
[[gnu::noinline]] int on_plugin_line(CTracer *self, PyFrameObject *frame) {
    // The plug-in runs Python code: hold what this event uses, and find the entry again after.
    Ref keep_alive = Ref::borrow(reinterpret_cast<PyObject *>(self));
    DataStack *stack = self->active_stack;
    StackRef where{stack == &self->main_stack
                       ? -1
                       : static_cast<int32_t>(stack - self->context_stacks)};
    const int32_t depth = stack->depth;
    FrameEntry *e = self->current_entry;
    Ref file_set = Ref::borrow(e->file_set);
    Ref file_tracer = Ref::borrow(e->file_tracer);
    Ref disposition = Ref::borrow(e->disposition);

    int32_t first = 0;
    int32_t last = 0;
    if (!kestrow::CTracer_plugin_line_range(self, file_tracer.get(), disposition.get(), frame,
                                            &first, &last)) {
        return 0;
    }
    if (first == -1) {
        return 0;
    }
    for (int64_t line = first; line <= last; line++) {
        e = &where.get(self)->entries[depth];
        if (record_line(self, file_set.get(), e, static_cast<int32_t>(line)) < 0) {
            return -1;
        }
    }
    return 0;
}

// The line path past its first look into the set: a line number of -1 (nothing to record), and
// every value not settled there.
[[gnu::noinline]] int on_line_general(CTracer *self, FrameEntry *e, int32_t line) {
    if (line == -1) {
        return 0;
    }
    if (self->record_arcs) {
        return record_arc_slow(self, e->file_set, e, line);
    }
    return record_line(self, e->file_set, e, line);
}

[[gnu::noinline]] int CTracer_on_line(CTracer *self, PyFrameObject *frame) {
    FrameEntry *e = self->current_entry;
    if (e->file_set == nullptr) {
        return 0;
    }
    if (e->file_tracer != Py_None) {
        return on_plugin_line(self, frame);
    }
    int32_t line = PyFrame_GetLineNumber(frame);
    // Nearly every line event repeats what is already recorded, and is settled by this one look;
    // the rest is kept out of line so that this path keeps little across the call above.
    if (self->record_arcs ? line != -1 && arc_in_first_slot(e->file_set, e, line)
                          : line_in_first_slot(e->file_set, line)) {
        e->prev_line = line;
        return 0;
    }
    return on_line_general(self, e, line);
}

[[gnu::noinline]] int CTracer_on_return(CTracer *self, PyFrameObject *frame) {
    // The interpreter lends us its reference to the tracer, and Python code run during the event
    // may drop it (sys.settrace(None), say): the tracer is held wherever Python code may run.
    Ref keep_alive;
    if (self->concur_id_func != Py_None) {
        keep_alive = Ref::borrow(reinterpret_cast<PyObject *>(self));
    }
    StackRef where;
    if (select_stack(self, &where) < 0) {
        return -1;
    }
    DataStack *stack = where.get(self);
    self->active_stack = stack;
    if (stack->depth < 0) {
        self->current_entry = &empty_entry;
        return 0;
    }
    const int32_t depth = stack->depth;
    FrameEntry *e = &stack->entries[depth];
    self->current_entry = e;

    if (self->record_arcs && e->file_set != nullptr) {
        PyCodeObject *co = frame_code(frame);
        int real = is_real_return(co, frame);
        if (real < 0) {
            return -1;
        }
        if (real && !holds_arc(e->file_set, e->prev_line, -co->co_firstlineno)) {
            Ref key = Ref::steal(arc_value(e->prev_line, -co->co_firstlineno));
            if (!key || PySet_Add(e->file_set, key.get()) < 0) {
                return -1;
            }
        }
    }

    if (e->opened_context) {
        // The context is closed from here on, even if switch_context fails: a failed return
        // leaves the entry on the stack (the interpreter delivers the frame's return again, or a
        // generator goes on running), and its next return must not close a second time.
        e->opened_context = 0;
        keep_alive = Ref::borrow(reinterpret_cast<PyObject *>(self));
        Py_XSETREF(self->current_context, Py_NewRef(Py_None));
        Ref switched = Ref::steal(call_member(self->switch_context, "switch_context", Py_None));
        if (!switched) {
            return -1;
        }
        // switch_context ran Python code; the stack may have moved.
        stack = where.get(self);
        self->active_stack = stack;
    }

    if (stack->depth >= 0) {
        stack->depth--;
    }
    self->current_entry = DataStack_top(stack);
    return 0;
}

// Kept out of the callback so that the line path, the most frequent, stays short.
[[gnu::noinline]] int on_call(CTracer *self, PyFrameObject *frame) {
    Ref keep_alive = Ref::borrow(reinterpret_cast<PyObject *>(self));  // see CTracer_on_return
    return CTracer_on_call(self, frame);
}

// A return with nothing to settle (one stack, no context to close, and no exit arc to add: none
// is recorded, or the frame cannot suspend and its exit arc is already where a look finds it),
// which is nearly every return: a pop, as CTracer_on_return would make it. Everything else is
// left to that.
[[gnu::noinline]] int on_return(CTracer *self, PyFrameObject *frame) {
    if (self->concur_id_func != Py_None) {
        return CTracer_on_return(self, frame);
    }
    DataStack *stack = &self->main_stack;
    const int32_t depth = stack->depth;
    if (depth >= 0) {
        const FrameEntry &e = stack->entries[depth];
        if (e.opened_context) {
            return CTracer_on_return(self, frame);
        }
        if (self->record_arcs && e.file_set != nullptr) {
            PyCodeObject *co = frame_code(frame);
            if (can_suspend(co) || !arc_in_first_slot(e.file_set, &e, -co->co_firstlineno)) {
                return CTracer_on_return(self, frame);
            }
        }
        stack->depth = depth - 1;
    }
    self->active_stack = stack;
    self->current_entry = DataStack_top(stack);
    return 0;
}

}  // namespace

void CTracer_find_trace_setter() {
    Ref descriptor = Ref::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject *>(&PyFrame_Type), kestrow::names::f_trace));
    if (!descriptor) {
        PyErr_Clear();  // every call event then stores the attribute by name
        return;
    }
    if (!Py_IS_TYPE(descriptor.get(), &PyGetSetDescr_Type)) {
        return;
    }
    // The definition is static in the interpreter, so the pointers outlive the descriptor.
    const PyGetSetDef *def = reinterpret_cast<PyGetSetDescrObject *>(descriptor.get())->d_getset;
    frame_trace_setter = def->set;
    frame_trace_closure = def->closure;
}

int CTracer_on_event(PyObject *op, PyFrameObject *frame, int what, PyObject *) {
    CTracer *self = reinterpret_cast<CTracer *>(op);
    if (!kestrow::load_flag(self->running)) {
        PyEval_SetTrace(nullptr, nullptr);
        return 0;
    }
    // Once set there is nothing new to publish, so the exchange (a full barrier) is skipped.
    if (!kestrow::load_flag(self->had_activity)) {
        kestrow::store_flag(self->had_activity, 1);
    }
    switch (what) {
    case PyTrace_LINE:
        return CTracer_on_line(self, frame);
    case PyTrace_CALL:
        return on_call(self, frame);
    case PyTrace_RETURN:
        return on_return(self, frame);
    default:
        return 0;
    }
}
