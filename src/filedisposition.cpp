#include "filedisposition.h"

#include <structmember.h>  // T_OBJECT: an unset member reads as None

#include <cstddef>

void CFileDisposition_dealloc(PyObject *self) {
    auto *d = reinterpret_cast<CFileDisposition *>(self);
    Py_XDECREF(d->original_filename);
    Py_XDECREF(d->canonical_filename);
    Py_XDECREF(d->source_filename);
    Py_XDECREF(d->trace);
    Py_XDECREF(d->reason);
    Py_XDECREF(d->file_tracer);
    Py_XDECREF(d->has_dynamic_filename);
    Py_TYPE(self)->tp_free(self);
}

namespace {

#define DISPOSITION_MEMBER(name) \
    {#name, T_OBJECT, offsetof(CFileDisposition, name), 0, PyDoc_STR("")}

PyMemberDef CFileDisposition_members[] = {
    DISPOSITION_MEMBER(original_filename),
    DISPOSITION_MEMBER(canonical_filename),
    DISPOSITION_MEMBER(source_filename),
    DISPOSITION_MEMBER(trace),
    DISPOSITION_MEMBER(reason),
    DISPOSITION_MEMBER(file_tracer),
    DISPOSITION_MEMBER(has_dynamic_filename),
    {nullptr, 0, 0, 0, nullptr},
};

#undef DISPOSITION_MEMBER

}  // namespace

PyTypeObject CFileDispositionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

void CFileDisposition_fill_type() {
    PyTypeObject &t = CFileDispositionType;
    t.tp_name = "kestrow.CFileDispositionType";
    t.tp_basicsize = sizeof(CFileDisposition);
    t.tp_itemsize = 0;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = PyDoc_STR("CFileDisposition objects");
    t.tp_members = CFileDisposition_members;
    t.tp_dealloc = CFileDisposition_dealloc;
}
