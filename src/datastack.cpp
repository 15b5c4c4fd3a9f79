#include "datastack.h"

#include <cstring>

namespace {
// Entries are added in blocks, so most pushes are one change of depth.
constexpr int32_t kGrowBy = 20;
}  // namespace

FrameEntry empty_entry{};

int DataStack_init(DataStack *stack) {
    stack->depth = -1;
    stack->capacity = 0;
    stack->entries = nullptr;
    return 0;
}

int DataStack_grow(DataStack *stack) {
    stack->depth++;
    if (stack->depth < stack->capacity) {
        return 0;
    }
    int32_t old_capacity = stack->capacity;
    if (old_capacity > INT32_MAX - kGrowBy) {
        stack->depth--;
        PyErr_NoMemory();
        return -1;
    }
    int32_t new_capacity = old_capacity + kGrowBy;
    auto *bigger = static_cast<FrameEntry *>(
        PyMem_Realloc(stack->entries, static_cast<size_t>(new_capacity) * sizeof(FrameEntry)));
    if (bigger == nullptr) {
        stack->depth--;
        PyErr_NoMemory();
        return -1;
    }
    std::memset(bigger + old_capacity, 0, kGrowBy * sizeof(FrameEntry));
    stack->entries = bigger;
    stack->capacity = new_capacity;
    return 0;
}

void FrameEntry_clear(FrameEntry *entry) {
    // Releasing may run Python code (a finaliser), which may let another thread grow the stack
    // and move the array: everything is detached first, and released only when the references
    // taken go, so nothing is written through entry after.
    FrameEntryRefs released = FrameEntry_take(entry);
}

void DataStack_reset(DataStack *stack) {
    for (int32_t i = 0; i < stack->capacity; i++) {
        FrameEntry_clear(&stack->entries[i]);
    }
    stack->depth = -1;
}

void DataStack_dealloc(DataStack *stack) {
    DataStack_reset(stack);
    PyMem_Free(stack->entries);
    stack->entries = nullptr;
    stack->capacity = 0;
}
