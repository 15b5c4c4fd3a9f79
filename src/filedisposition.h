// CFileDisposition: the record through which the controlling layer says whether, and under which
// name, the frames of one code file are recorded.
#pragma once

#include "export.h"
#include "pyref.h"

struct CFileDisposition {
    PyObject_HEAD
    PyObject *original_filename;
    PyObject *canonical_filename;
    PyObject *source_filename;
    PyObject *trace;
    PyObject *reason;
    PyObject *file_tracer;
    PyObject *has_dynamic_filename;
};

KESTROW_EXPORT PyTypeObject CFileDispositionType;
KESTROW_EXPORT void CFileDisposition_dealloc(PyObject *self);

inline bool CFileDisposition_check(PyObject *o) {
    return PyObject_TypeCheck(o, &CFileDispositionType);
}

// Sets up the type object's slots; called once before the type is readied.
void CFileDisposition_fill_type();
