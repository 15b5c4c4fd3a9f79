#include "filecache.h"

#include <utility>

namespace {

int watcher_id = -1;

// Runs before the change is made, with the GIL held. It must not run Python code or fail: it
// only retires every answer read so far.
int on_dict_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    kestrow::file_cache_generation++;
    return 0;
}

}  // namespace

namespace kestrow {

uint64_t file_cache_generation = 0;

void FileCache_init() {
    if (watcher_id >= 0) {
        return;
    }
    watcher_id = PyDict_AddWatcher(on_dict_event);
    if (watcher_id < 0) {
        PyErr_Clear();
        return;
    }
    // From 1 on, so that 0 still marks an empty half of a slot.
    file_cache_generation = 1;
}

bool FileCache_watch(PyObject *dict) {
    if (watcher_id < 0 || !PyDict_Check(dict)) {
        return false;
    }
    if (PyDict_Watch(watcher_id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

void FileCache_remember_disposition(FileCacheSlot *slots, PyObject *filename, PyObject *cache,
                                    PyObject *disposition) {
    if (!FileCache_watch(cache)) {
        return;
    }
    // What the slot held is released only once the slot is written, since releasing may run
    // Python code; a change that code makes moves the generation past the one stored here.
    FileCacheSlot fresh{Py_NewRef(filename), Py_NewRef(disposition), cache,
                        FileCache_generation(), nullptr, nullptr, nullptr, 0};
    std::swap(FileCache_slot(slots, filename), fresh);
    FileCache_release(fresh);
}

void FileCache_remember_file_set(FileCacheSlot *slots, PyObject *filename, PyObject *name,
                                 const PyObject *data, PyObject *file_set, uint64_t generation) {
    FileCacheSlot &slot = FileCache_slot(slots, filename);
    if (slot.filename != filename) {
        return;
    }
    Ref old_name = Ref::steal(std::exchange(slot.recorded_name, Py_NewRef(name)));
    Ref old_set = Ref::steal(std::exchange(slot.file_set, Py_NewRef(file_set)));
    slot.data = data;
    slot.file_set_generation = generation;
}

void FileCache_release(FileCacheSlot &slot) {
    FileCacheSlot old = std::exchange(slot, FileCacheSlot{});
    Py_XDECREF(old.filename);
    Py_XDECREF(old.disposition);
    Py_XDECREF(old.recorded_name);
    Py_XDECREF(old.file_set);
}

void FileCache_clear(FileCacheSlot *slots) {
    for (int i = 0; i < kFileCacheSlots; i++) {
        FileCache_release(slots[i]);
    }
}

}  // namespace kestrow
