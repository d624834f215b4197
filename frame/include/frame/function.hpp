// Function objects: one declaration per Python `def`, from which binding,
// argument checks, __doc__, __annotations__, __defaults__ and __code__ follow.
#pragma once

#include <cstdint>
#include <vector>

#include "frame/ops.hpp"

namespace frame {

// What a parameter's annotation makes the call boundary test, as the
// declarations read from the module's Python say.
enum class Check : std::uint8_t { Any, Str, Bytes, Int, List, Dict, OptionalList };

struct Default {
    enum class Kind : std::uint8_t { Absent, None, Text } kind = Kind::Absent;
    const char* text = nullptr;
    static constexpr Default none() { return {Kind::None, nullptr}; }
    static constexpr Default string(const char* text) { return {Kind::Text, text}; }
};

struct Param {
    const char* name;
    const char* annotation = nullptr;  // as written in the source, or none
    Default default_value = {};
    int line = 0;  // where it is declared; 0: the def line
    Check check = Check::Any;
};

class Call;
class CoroutineCall;
class Task;
using SyncBody = Ref (*)(Call&);
using AsyncBody = Task (*)(CoroutineCall&);

// One `def`, as tools/declarations.py writes it from the module's Python.
// The docstring is kept exactly as written in the source.
struct FunctionDef {
    const char* name;
    int line;
    std::vector<Param> params;
    const char* returns = nullptr;
    Check result = Check::Any;  // the test of what the body returns
    const char* doc = nullptr;
    SyncBody body = nullptr;
    AsyncBody async_body = nullptr;
    bool varargs = false;                  // the last parameter is *args
    std::vector<const char*> locals = {};  // further co_varnames
    // An async def's slots as FRAME_SLOTS names them: its parameters, then
    // the locals its body keeps (in place of `locals`).
    const char* slots = nullptr;
};

struct FunctionObject;

// A running call of a plain function: its bound arguments and current line.
class Call {
public:
    Call(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs) noexcept
        : function_(function), args_(args), nargs_(nargs) {}

    PyObject* arg(int index) const noexcept { return args_[index]; }
    // The positional arguments gathered by a *args parameter.
    PyObject* const* varargs() const noexcept { return args_; }
    Py_ssize_t nvarargs() const noexcept { return nargs_; }

    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }

    // A module global, falling back to builtins (NameError otherwise).
    Ref global(PyObject* name) const;
    // The class whose body defined this function (zero-argument super()).
    PyObject* defining_class() const;

private:
    FunctionObject* function_;
    PyObject* const* args_;
    Py_ssize_t nargs_;
    int line_ = 0;
};

// Looks a name up in a module dict and then in builtins.
Ref lookup_global(PyObject* globals, PyObject* name);

// Builds a function object for a def in a module (qualname_prefix empty) or in
// a class body ("ClassName").
Ref make_function(const FunctionDef& definition, PyObject* module_name, PyObject* globals, const char* qualname_prefix);

// Records the class a function object was defined in (for super()).
void set_defining_class(PyObject* function, PyObject* cls);

bool is_function(PyObject* object) noexcept;

}  // namespace frame
