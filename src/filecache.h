// FileCache: what the call path last found for a code file, so that a call event of a file seen
// before need not look into should_trace_cache and data again.
#pragma once

#include <cstdint>

#include "pyref.h"

// One answer per code file name. An answer holds only while the dictionary it was read from is
// the same object and unchanged: the module watches every dictionary it reads an answer from,
// and any change to any of them (an entry added, replaced or removed, a clear, the dictionary
// freed) moves one generation count on, which retires every answer read before it. So a
// controlling layer that reads, copies, clears or refills its dictionaries, or assigns new ones,
// sees the tracer look them up again exactly where it would without the cache.
struct FileCacheSlot {
    PyObject *filename;     // owned; the code file name, matched by identity
    PyObject *disposition;  // owned; should_trace_cache's value for filename (None or a record)
    const void *trace_cache;            // identity of the should_trace_cache it was read from
    uint64_t disposition_generation;    // 0: no disposition held
    PyObject *recorded_name;  // owned or null; the name the file set was found under
    PyObject *file_set;       // owned or null; data's set for recorded_name
    const void *data;                   // identity of the data dictionary it was read from
    uint64_t file_set_generation;       // 0: no file set held
};

constexpr int kFileCacheBits = 7;
constexpr int kFileCacheSlots = 1 << kFileCacheBits;

namespace kestrow {

// Registers the module's dictionary watcher. Without one (every watcher taken by others) the
// cache stays off and each call event looks the dictionaries up. Leaves no exception pending.
void FileCache_init();

// Moves on at every change of any watched dictionary; 0 while the cache is off, so that no
// answer is ever taken from it. Written only with the GIL held.
extern uint64_t file_cache_generation;

inline uint64_t FileCache_generation() {
    return file_cache_generation;
}

// Watches a dictionary an answer is about to be read from; false if it cannot be watched, and
// then nothing may be remembered from it. Leaves no exception pending.
bool FileCache_watch(PyObject *dict);

inline FileCacheSlot &FileCache_slot(FileCacheSlot *slots, PyObject *filename) {
    auto h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(filename));
    return slots[(h * 0x9E3779B97F4A7C15u) >> (64 - kFileCacheBits)];
}

// The disposition remembered for a code file name, read from `cache` (borrowed: the slot holds
// it), or null when there is none that still holds.
inline PyObject *FileCache_disposition(FileCacheSlot *slots, PyObject *filename,
                                       const PyObject *cache) {
    const FileCacheSlot &slot = FileCache_slot(slots, filename);
    if (slot.filename == filename && slot.trace_cache == cache &&
        slot.disposition_generation == FileCache_generation()) {
        return slot.disposition;
    }
    return nullptr;
}

// The file set remembered, in the code file's slot, for a recorded name in `data` (borrowed),
// or null when there is none that still holds.
inline PyObject *FileCache_file_set(FileCacheSlot *slots, PyObject *filename, PyObject *name,
                                    const PyObject *data) {
    const FileCacheSlot &slot = FileCache_slot(slots, filename);
    if (slot.filename == filename && slot.recorded_name == name && slot.file_set != nullptr &&
        slot.data == data && slot.file_set_generation == FileCache_generation()) {
        return slot.file_set;
    }
    return nullptr;
}

// Gives the code file's slot to the disposition just read from `cache`, which is watched first.
// Whatever the slot held for any file goes.
void FileCache_remember_disposition(FileCacheSlot *slots, PyObject *filename, PyObject *cache,
                                    PyObject *disposition);

// Remembers the file set found for a recorded name in `data` (already watched), as of
// `generation`, if the code file's slot is still that file's.
void FileCache_remember_file_set(FileCacheSlot *slots, PyObject *filename, PyObject *name,
                                 const PyObject *data, PyObject *file_set, uint64_t generation);

// Empties one slot and releases what it held. Releasing may run Python code, which may fill
// slots again: the slot is emptied first.
void FileCache_release(FileCacheSlot &slot);

// Releases everything the slots hold.
void FileCache_clear(FileCacheSlot *slots);

}  // namespace kestrow
