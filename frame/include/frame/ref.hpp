// Owning references and the "a Python exception is set" C++ exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

// Thrown by every frame helper when the interpreter has an exception set.
// Entry points called by the interpreter catch it and return their failure
// value; the exception itself stays in the thread state.
struct Error {};

[[noreturn]] inline void raise_current() { throw Error{}; }

// An owning PyObject*. Borrowing is explicit: Ref::borrow() takes a new
// reference, get() hands out a borrowed one, release() gives up ownership.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~Ref() { Py_XDECREF(object_); }

    Ref& operator=(const Ref& other) noexcept {
        Ref copy(other);
        std::swap(object_, copy.object_);
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
        Ref moved(std::move(other));
        std::swap(object_, moved.object_);
        return *this;
    }

    // Takes ownership of a new reference; nullptr means a Python error.
    static Ref steal(PyObject* object) {
        if (object == nullptr) raise_current();
        return Ref(object, 0);
    }
    // Takes ownership of a new reference that may legitimately be null.
    static Ref steal_or_null(PyObject* object) noexcept { return Ref(object, 0); }
    static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object), 0); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void reset() noexcept { Py_CLEAR(object_); }

private:
    Ref(PyObject* object, int) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

inline Ref steal(PyObject* object) { return Ref::steal(object); }
inline Ref borrow(PyObject* object) { return Ref::borrow(object); }

inline int check(int status) {
    if (status < 0) raise_current();
    return status;
}

}  // namespace frame
