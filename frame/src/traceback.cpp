// Traceback entries for frames that have no interpreter frame of their own.
#include <functional>
#include <map>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#include <unistd.h>
#endif

#include "internal.hpp"

namespace frame {

namespace {
// (name, filename, line) -> code object whose first line is `line`. The map
// holds its keys' objects alive through the stored tuples.
struct CodeKey {
    PyObject* name;
    PyObject* filename;
    int line;
    bool operator<(const CodeKey& other) const noexcept {
        // Spelled out: tuple comparison would make the module file export a
        // unique symbol of the standard library besides its init function.
        if (name != other.name) return std::less<PyObject*>()(name, other.name);
        if (filename != other.filename) return std::less<PyObject*>()(filename, other.filename);
        return line < other.line;
    }
};
std::map<CodeKey, PyObject*>& code_cache() {
    static auto* cache = new std::map<CodeKey, PyObject*>();
    return *cache;
}
}  // namespace

PyObject* code_for_traceback(PyObject* name, PyObject* filename, int line) {
    CodeKey key{name, filename, line};
    auto& cache = code_cache();
    if (auto found = cache.find(key); found != cache.end()) return found->second;
    const char* name_text = PyUnicode_AsUTF8(name);
    const char* file_text = name_text ? PyUnicode_AsUTF8(filename) : nullptr;
    if (file_text == nullptr) raise_current();
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_text, name_text, line));
    if (code == nullptr) raise_current();
    Py_INCREF(name);
    Py_INCREF(filename);
    cache.emplace(key, code);
    return code;
}

void add_traceback(PyObject* name, PyObject* filename, int line, PyObject* globals) noexcept {
    if (!PyErr_Occurred()) return;
    // The exception is put aside while the code object and frame are made.
    PyObject* exception = PyErr_GetRaisedException();
    PyObject* code = nullptr;
    try {
        code = code_for_traceback(name, filename, line);
    } catch (...) {
        PyErr_Clear();
    }
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
        if (frame == nullptr) PyErr_Clear();
    }
    PyErr_SetRaisedException(exception);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void translate_exception() noexcept {
    try {
        throw;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        // pthread_exit: how CPython 3.13 ends a daemon thread that wakes up
        // while the interpreter finalizes. The thread has no thread state
        // left to raise in, and the unwinding cannot go on through the
        // noexcept boundary that caught it (nor stop there: glibc aborts).
        // The thread waits for the process to end instead, as later CPython
        // versions make such threads wait.
        if (PyThreadState_GetUnchecked() == nullptr)
            for (;;) pause();
        throw;
#endif
    } catch (Error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& error) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error");
    }
}

}  // namespace frame
