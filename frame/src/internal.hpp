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

// --- exceptions ------------------------------------------------------------------

// Adds one traceback entry for a frame named `name` in `filename` at `line`,
// as the interpreter does for a Python frame.
void add_traceback(PyObject* name, PyObject* filename, int line, PyObject* globals) noexcept;

// Converts a C++ exception that is not Error into a Python one.
void translate_exception() noexcept;

// What an `async with` asks of the body it runs in: the traceback entry of
// the body's level, at its current line, for the pending exception; and a
// mark that the exception about to leave the body has that entry already
// (given just before it is raised again, taken by the next boundary).
void add_body_traceback(const CoroutineCall& call) noexcept;
void body_entry_given(CoroutineCall& call) noexcept;
bool take_body_entry(CoroutineCall& call) noexcept;

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

// The code object of a traceback entry for `name` at `line`, made once per
// (name, filename, line) and kept.
PyObject* code_for_traceback(PyObject* name, PyObject* filename, int line);

// The source path a traceback names for a module: the dotted name with dots
// turned into slashes, and the Python source extension.
std::string source_path(std::string_view dotted);

// The class whose body defined `function` (zero-argument super()).
PyObject* defining_class_of(const FunctionObject* function);

}  // namespace frame
