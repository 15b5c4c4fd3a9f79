// The owned-reference type used throughout the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kestrow {

// An owned reference: releases on scope exit, moves but never copies.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject *o) noexcept { return Ref(o); }  // takes over a new reference
    static Ref borrow(PyObject *o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        Py_XSETREF(obj_, std::exchange(other.obj_, nullptr));
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }  // hand the reference on
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject *o) noexcept : obj_(o) {}
    PyObject *obj_ = nullptr;
};

}  // namespace kestrow
