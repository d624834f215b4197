// The Python operations a module body is written in. Each helper behaves as
// the corresponding Python expression and throws Error when it raises.
#pragma once

#include <initializer_list>
#include <string_view>

#include "frame/ref.hpp"

namespace frame {

// Interned string constant, created on first use and kept for the life of the
// process. Returns a borrowed reference.
PyObject* intern(const char* text);
#define FRAME_STR(text)                                           \
    ([]() -> PyObject* {                                          \
        static PyObject* const interned_ = ::frame::intern(text); \
        return interned_;                                         \
    }())

// A borrowed view of an object, made from a PyObject* or a Ref, so that
// helpers take either without ceremony at the call site.
class Obj {
public:
    Obj(PyObject* object) noexcept : object_(object) {}
    Obj(const Ref& ref) noexcept : object_(ref.get()) {}
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

private:
    PyObject* object_;
};

inline PyObject* none() noexcept { return Py_None; }
inline Ref new_none() noexcept { return Ref::borrow(Py_None); }
inline Ref new_bool(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

Ref str(std::string_view text);
Ref integer(long long value);
Ref floating(double value);

// --- attributes -----------------------------------------------------------
inline Ref getattr(Obj object, PyObject* name) { return steal(PyObject_GetAttr(object, name)); }
inline void setattr(Obj object, PyObject* name, Obj value) { check(PyObject_SetAttr(object, name, value)); }
// hasattr(): an AttributeError counts as absent, anything else propagates.
inline bool hasattr(Obj object, PyObject* name) { return check(PyObject_HasAttrWithError(object, name)) != 0; }
// getattr(object, name, default)
Ref getattr(Obj object, PyObject* name, Obj fallback);

// --- calls ----------------------------------------------------------------
Ref call(Obj callable, std::initializer_list<Obj> args = {});
// importlib.import_module(name), for modules a body uses without binding them.
inline Ref import_module(const char* name) { return steal(PyImport_ImportModule(name)); }
// Call with positional arguments followed by keyword values whose names are
// the (cached) tuple kwnames.
Ref call_kw(Obj callable, std::initializer_list<Obj> args, PyObject* kwnames);
Ref call_method(Obj self, PyObject* name, std::initializer_list<Obj> args = {});
// callable(**dict(value)): a model built from a service's answer. An exact
// dict is copied, anything else converted by dict(), whose errors pass
// unchanged; None is refused as `**` refuses it.
Ref call_with_dict(Obj callable, Obj value);

// A tuple of keyword names for call_kw, built once per call site.
PyObject* make_kwnames(std::initializer_list<const char*> names);
#define FRAME_KWNAMES(...)                                                    \
    ([]() -> PyObject* {                                                      \
        static PyObject* const names_ = ::frame::make_kwnames({__VA_ARGS__}); \
        return names_;                                                        \
    }())

// --- truth, comparison, arithmetic ---------------------------------------
inline bool truthy(Obj object) {
    PyObject* o = object.get();
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    // The interpreter's own fast paths for the common exact types.
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o) != 0;
    if (PyDict_CheckExact(o)) return PyDict_GET_SIZE(o) != 0;
    return check(PyObject_IsTrue(o)) != 0;
}
inline Ref compare(Obj left, Obj right, int op) { return steal(PyObject_RichCompare(left, right, op)); }
// `left == right` used as a condition (no identity shortcut, as in Python).
inline bool equals(Obj left, Obj right) { return truthy(compare(left, right, Py_EQ).get()); }
inline bool less(Obj left, Obj right) { return truthy(compare(left, right, Py_LT).get()); }
inline bool greater(Obj left, Obj right) { return truthy(compare(left, right, Py_GT).get()); }
inline Ref subtract(Obj left, Obj right) { return steal(PyNumber_Subtract(left, right)); }
inline Ref multiply(Obj left, Obj right) { return steal(PyNumber_Multiply(left, right)); }
// A value stored into a local the source types as `int`.
Ref int_local(Obj value);
inline PyObject* type_of(Obj object) noexcept { return reinterpret_cast<PyObject*>(Py_TYPE(object.get())); }
// isinstance(object, str), callable(object)
inline bool is_str(Obj object) noexcept { return PyUnicode_Check(object.get()); }
inline bool is_callable(Obj object) noexcept { return PyCallable_Check(object.get()) != 0; }
inline bool isinstance(Obj object, Obj type) { return check(PyObject_IsInstance(object, type)) != 0; }
inline Py_ssize_t length(Obj object) {
    Py_ssize_t n = PyObject_Length(object);
    if (n < 0) raise_current();
    return n;
}

// --- strings ------------------------------------------------------------
// The piece an f-string makes of a replacement field with no format given.
Ref format(Obj value);
// Joins f-string pieces.
Ref join(std::initializer_list<Obj> pieces);
inline Ref to_str(Obj value) { return steal(PyObject_Str(value)); }

// --- containers ---------------------------------------------------------
Ref tuple(std::initializer_list<Obj> items);
inline Ref new_list() { return steal(PyList_New(0)); }
inline void append(Obj list, Obj item) { check(PyList_Append(list, item)); }
inline Ref new_dict() { return steal(PyDict_New()); }
inline void set_item(Obj dict, Obj key, Obj value) { check(PyDict_SetItem(dict, key, value)); }
// `key in mapping`
inline bool contains(Obj container, Obj key) { return check(PySequence_Contains(container, key)) != 0; }
inline Ref get_item(Obj container, Obj key) { return steal(PyObject_GetItem(container, key)); }

// `for item in iterable:`; next() returns an empty Ref at the end.
// Exact lists and tuples are walked by index, as their own iterators do it
// (the length is read at each step), without an iterator object.
class Iterate {
public:
    explicit Iterate(Obj iterable) {
        PyObject* o = iterable.get();
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            sequence_ = borrow(o);
        } else {
            iterator_ = steal(PyObject_GetIter(o));
        }
    }
    Ref next() {
        if (PyObject* s = sequence_.get()) {
            if (PyList_CheckExact(s)) {
                if (index_ < PyList_GET_SIZE(s)) return borrow(PyList_GET_ITEM(s, index_++));
            } else if (index_ < PyTuple_GET_SIZE(s)) {
                return borrow(PyTuple_GET_ITEM(s, index_++));
            }
            sequence_.reset();
            return Ref();
        }
        if (!iterator_) return Ref();
        Ref item = Ref::steal_or_null(PyIter_Next(iterator_.get()));
        if (!item && PyErr_Occurred()) raise_current();
        return item;
    }

private:
    Ref sequence_;  // an exact list or tuple until its end
    Py_ssize_t index_ = 0;
    Ref iterator_;
};

// `a, b = value`: fills the targets from an iterable of exactly that many items.
void unpack(Obj value, std::initializer_list<Ref*> targets);

// `raise value`: classes are instantiated, instances raised as they are.
[[noreturn]] void raise(Obj value);
[[noreturn]] void raise_type_error(const char* format, ...);

// Checks of a declared result type ("Expected %s, got %.200s").
void check_result(Obj value, PyTypeObject* expected, const char* expected_name);

}  // namespace frame
