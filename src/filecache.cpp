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
