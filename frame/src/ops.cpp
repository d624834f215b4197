// The Python operations of ops.hpp: constants, attributes, calls, strings,
// containers and raising.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "frame/ops.hpp"

namespace frame {

PyObject* intern(const char* text) {
    PyObject* object = PyUnicode_InternFromString(text);
    if (object == nullptr) raise_current();
    return object;  // kept for the life of the process
}

Ref str(std::string_view text) {
    return steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
Ref integer(long long value) { return steal(PyLong_FromLongLong(value)); }
Ref floating(double value) { return steal(PyFloat_FromDouble(value)); }

Ref getattr(Obj object, PyObject* name, Obj fallback) {
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttr(object, name, &value)) == 0) return borrow(fallback);
    return steal(value);
}

Ref tuple(std::initializer_list<Obj> items) {
    Ref result = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Obj item : items) PyTuple_SET_ITEM(result.get(), i++, Py_NewRef(item.get()));
    return result;
}

namespace {
constexpr std::size_t kInlineArgs = 8;

// Copies Obj views into a vectorcall argument array with a free slot in front.
class ArgArray {
public:
    ArgArray(std::initializer_list<Obj> args, std::size_t extra = 0) {
        std::size_t n = args.size() + extra + 1;
        if (n > kInlineArgs) {
            heap_.resize(n);
            data_ = heap_.data();
        }
        std::size_t i = 1;
        for (Obj arg : args) data_[i++] = arg.get();
    }
    PyObject** data() noexcept { return data_; }

private:
    PyObject* inline_[kInlineArgs] = {};
    std::vector<PyObject*> heap_;
    PyObject** data_ = inline_;
};
}  // namespace

Ref call(Obj callable, std::initializer_list<Obj> args) {
    ArgArray array(args);
    return steal(
        PyObject_Vectorcall(callable, array.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_kw(Obj callable, std::initializer_list<Obj> args, PyObject* kwnames) {
    ArgArray array(args);
    std::size_t npositional = args.size() - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return steal(
        PyObject_Vectorcall(callable, array.data() + 1, npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(Obj self, PyObject* name, std::initializer_list<Obj> args) {
    ArgArray array(args);
    array.data()[0] = self.get();
    return steal(
        PyObject_VectorcallMethod(name, array.data(), (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_with_dict(Obj callable, Obj value) {
    if (value.get() == Py_None) raise_type_error("argument after ** must be a mapping, not NoneType");
    // The keywords are always a new dict, so the caller's object is never
    // modified.
    Ref keywords = PyDict_CheckExact(value)
                       ? steal(PyDict_Copy(value))
                       : steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
    Ref empty = steal(PyTuple_New(0));
    return steal(PyObject_Call(callable, empty.get(), keywords.get()));
}

PyObject* make_kwnames(std::initializer_list<const char*> names) {
    Ref kwnames = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(intern(name)));
    return kwnames.release();  // kept for the life of the process
}

Ref format(Obj value) {
    if (PyUnicode_CheckExact(value)) return borrow(value);
    return steal(PyObject_Format(value, nullptr));
}

// As the interpreter builds an f-string: the pieces are copied into one new
// string, with no sequence in between; the result is PyUnicode_Join's.
Ref join(std::initializer_list<Obj> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (Obj piece : pieces) {
        // Anything but str gets PyUnicode_Join's own error.
        if (!PyUnicode_Check(piece)) return steal(PyUnicode_Join(FRAME_STR(""), tuple(pieces).get()));
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (n > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            raise_current();
        }
        length += n;
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(piece.get()));
    }
    if (pieces.size() == 1 && PyUnicode_CheckExact(pieces.begin()->get())) return borrow(*pieces.begin());
    Ref result = steal(PyUnicode_New(length, maxchar));
    int kind = PyUnicode_KIND(result.get());
    char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
    Py_ssize_t at = 0;
    for (Obj piece : pieces) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (n == 0) continue;
        if (PyUnicode_KIND(piece.get()) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(piece.get()), static_cast<std::size_t>(n) * kind);
        } else if (PyUnicode_CopyCharacters(result.get(), at, piece, 0, n) < 0) {
            raise_current();
        }
        at += n;
    }
    return result;
}

void unpack(Obj value, std::initializer_list<Ref*> targets) {
    Iterate items(value);
    Py_ssize_t expected = static_cast<Py_ssize_t>(targets.size());
    Py_ssize_t received = 0;
    for (Ref* target : targets) {
        Ref item = items.next();
        if (!item) {
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", received,
                         received == 1 ? "" : "s");
            raise_current();
        }
        *target = std::move(item);
        ++received;
    }
    if (items.next()) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
        raise_current();
    }
}

void raise(Obj value) {
    PyObject* object = value.get();
    if (PyExceptionClass_Check(object)) {
        Ref instance = steal(PyObject_CallNoArgs(object));
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         object, Py_TYPE(instance.get()));
            raise_current();
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    } else if (PyExceptionInstance_Check(object)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(object)), object);
    } else {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    }
    raise_current();
}

void raise_type_error(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(PyExc_TypeError, format, arguments);
    va_end(arguments);
    raise_current();
}

Ref int_local(Obj value) {
    if (PyLong_CheckExact(value)) return borrow(value);
    if (!PyNumber_Check(value)) raise_type_error("Expected %.200s, got %.200s", "int", Py_TYPE(value.get())->tp_name);
    return steal(PyNumber_Long(value));
}

void check_result(Obj value, PyTypeObject* expected, const char* expected_name) {
    PyObject* object = value.get();
    if (object == Py_None || Py_IS_TYPE(object, expected)) return;
    raise_type_error("Expected %s, got %.200s", expected_name, Py_TYPE(object)->tp_name);
}

}  // namespace frame
