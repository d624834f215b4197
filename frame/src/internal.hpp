// Layouts shared by the frame's own sources; modules never see these.
#pragma once

#include <cstddef>

#include "frame/ref.hpp"
#include <frameobject.h>

#include "frame/coroutine.hpp"
#include "frame/function.hpp"

// Static type objects are filled in field by field.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

namespace frame {

constexpr int kMaxParams = 8;

// Per-function data derived once from its FunctionSpec.
struct FunctionInfo {
    const FunctionSpec* spec;
    int nparams;          // without *args
    int nrequired;        // parameters without a default
    bool has_defaults;
    bool needs_conversion;  // some parameter is tested or converted
    Check result;           // the test of the declared result
    Check checks[kMaxParams];
    PyObject* names[kMaxParams];  // interned parameter names (borrowed from co_varnames)
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
    PyObject* defaults;     // tuple of the trailing defaults, or NULL
    PyObject* annotations;
    PyObject* is_coroutine;
    PyObject* dict;
    PyObject* defining_class;
    PyObject* filename;
    PyObject* binding_name;  // "module.qualname": binding and plain bodies
    PyObject* weakrefs;
};

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
PyObject* new_coroutine(FunctionObject* function, PyObject* const* args, int nargs) noexcept;

// The test of a function's declared result (throws Error when refused).
void check_function_result(const FunctionObject* function, PyObject* result);

// Cached "name"/line code objects and frames for traceback entries.
PyObject* code_for_traceback(PyObject* name, PyObject* filename, int line);

}  // namespace frame
