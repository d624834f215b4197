// Layouts shared by the frame's own sources; modules never see these.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "frame/ref.hpp"

// After Python.h, which ref.hpp includes first.
#include <frameobject.h>

#include "frame/coroutine.hpp"
#include "frame/function.hpp"

namespace frame {

// --- exceptions and the statements that handle them ----------------------------

// Adds one traceback entry for a frame named `name` in `filename` at `line`,
// as the interpreter does for a Python frame.
void add_traceback(PyObject* name, PyObject* filename, int line, PyObject* globals) noexcept;

// Converts a C++ exception that is not Error into a Python one.
void translate_exception() noexcept;

// The exception in flight, taken out of the thread state (`except ... as e`),
// and raising such a value again with its traceback (a bare `raise`).
Ref fetch_exception();
[[noreturn]] void raise_again(Ref exception);
// The exception in flight is an instance of `type` (`except type:`).
bool exception_matches(PyObject* type) noexcept;

// The handled exception (sys.exc_info()) for the extent of an except block.
// Inside a coroutine whose handler awaits, the previous value waits in a slot
// passed as `saved`, where the collector sees it.
class HandledException {
public:
    explicit HandledException(Obj exception) : HandledException(exception, own_) {}
    HandledException(Obj exception, Ref& saved) : saved_(saved), exception_(exception) {
        saved_ = Ref::steal_or_null(PyErr_GetHandledException());
        PyErr_SetHandledException(exception);
    }
    ~HandledException() {
        // The previous value comes back only while this block's exception is
        // the current one. It is not when a coroutine body suspended in the
        // block is destroyed instead of resumed: the thread's state then
        // belongs to whoever drops the coroutine (possibly the collector), and
        // the saved value may be stale or already cleared.
        PyObject* current = PyErr_GetHandledException();
        if (current == exception_ && current != nullptr && current != Py_None) PyErr_SetHandledException(saved_.get());
        Py_XDECREF(current);
        saved_.reset();
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    Ref own_;
    Ref& saved_;
    // Compared by identity only: it is the current handled exception (and so
    // alive) whenever the comparison can succeed.
    PyObject* exception_;
};

// `with manager:` and `async with manager:`. The special methods are looked up
// on the type, as the statements do. enter_context returns what __enter__
// returned, enter_async_context the awaitable of __aenter__; both leave the
// bound exit method in `exit`.
Ref enter_context(Obj manager, Ref& exit);
Ref enter_async_context(Obj manager, Ref& exit);
// The exit method called as the statements call it: with the type, value and
// traceback of `exception`, or with three Nones when it is null. Call it
// inside a HandledException for that exception, as the statements do.
Ref call_exit(Obj exit, PyObject* exception);

constexpr int kMaxParams = 8;
// The slots a frame-owned slot name stands for: what an `async with` keeps
// across its awaits.
constexpr int kAsyncWithSlots = 4;

// Per-function data derived once from its FunctionDef, laid out for the
// call path.
struct FunctionInfo {
    const FunctionDef* definition;
    SyncBody body;
    AsyncBody async_body;
    int line;       // of the def
    int nparams;    // without *args
    int nrequired;  // parameters without a default
    int nslots;     // coroutine slots: parameters, then locals
    bool has_defaults;
    bool needs_conversion;      // some parameter is tested or converted
    Check result;               // the test of the declared result
    PyTypeObject* result_type;  // its exact type, or null when untested
    // Bytes of the C++ frame of an async body, learnt from its first call.
    std::size_t body_size;
    // Memory of finished coroutines of the function, kept for the next ones.
    static constexpr int kFreeCoroutines = 16;
    int nfree;
    PyObject* free_coroutines[kFreeCoroutines];
    Check checks[kMaxParams];
    // The exact type each parameter must have to be taken as it is (null:
    // any object), and whether None is taken too.
    PyTypeObject* exact[kMaxParams];
    bool none_allowed[kMaxParams];
    PyObject* names[kMaxParams];  // interned parameter names (borrowed from co_varnames)
    // The start of each parameter's refusal message, made on first use.
    PyObject* refusal_prefixes[kMaxParams];
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionInfo* info;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;  // tuple of the trailing defaults, or NULL
    PyObject* annotations;
    PyObject* is_coroutine;
    PyObject* dict;
    PyObject* defining_class;
    PyObject* filename;
    PyObject* binding_name;  // "module.qualname": binding and plain bodies
    PyObject* weakrefs;
    // (name, qualname, module, the function) as the coroutines of the
    // function start with them; made on first use, dropped when one of the
    // names is reassigned. The tuple refers back to the function: a cycle the
    // collector sees through both traverse functions.
    PyObject* coroutine_names;
};

// A static type collected by the cyclic GC, with the fields every frame type
// sets; the caller fills in the rest.
inline PyTypeObject gc_type(const char* name, Py_ssize_t size, unsigned long flags, destructor dealloc,
                            traverseproc traverse, inquiry clear) noexcept {
    PyTypeObject type{};
    type.ob_base = {PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = name;
    type.tp_basicsize = size;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | flags;
    type.tp_dealloc = dealloc;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_getattro = PyObject_GenericGetAttr;
    return type;
}

struct Types {
    PyTypeObject* function;
    PyTypeObject* coroutine;
    PyTypeObject* coroutine_iterator;
};

// The types shared by every module of the process (the first module to
// initialise readies them; the others find them in the interpreter's dict).
const Types& types();
void ready_types();

PyTypeObject* function_type_object();
PyTypeObject* coroutine_type_object();
PyTypeObject* coroutine_iterator_type_object();

// Creates the coroutine object for a bound call of an async function.
PyObject* new_coroutine(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Whether a function's declared result admits `result`.
inline bool result_accepted(const FunctionInfo& info, PyObject* result) noexcept {
    return info.result_type == nullptr || result == Py_None || Py_IS_TYPE(result, info.result_type);
}
// Sets the TypeError of a refused result.
void refuse_result(const FunctionInfo& info, PyObject* result) noexcept;

// Frees the memory kept in a function's free list of coroutines.
void release_free_coroutines(FunctionInfo& info) noexcept;

// The (name, qualname, module, function) tuple a new coroutine of `function`
// takes.
PyObject* coroutine_names(FunctionObject* function) noexcept;

// Cached "name"/line code objects and frames for traceback entries.
PyObject* code_for_traceback(PyObject* name, PyObject* filename, int line);

// The source path a traceback names for a module: the dotted name with dots
// turned into slashes, and the Python source extension.
std::string source_path(std::string_view dotted);

// The class whose body defined `function` (zero-argument super()).
PyObject* defining_class_of(const FunctionObject* function);

}  // namespace frame
