// Module initialisation (multi-phase: create and exec) and the statements of a
// module body: imports, assignments, defs and class statements.
#pragma once

#include <initializer_list>

#include "frame/coroutine.hpp"
#include "frame/function.hpp"

namespace frame {

class ModuleBody;
class ClassBody;

// One `class` statement. Its bases are module globals, looked up when the
// statement runs; the body callback runs the class body's statements.
struct ClassDef {
    const char* name;
    int line;
    std::vector<const char*> bases;
    const char* doc;
    void (*body)(ClassBody&);
};

struct ModuleDef {
    const char* dotted_name;  // "velquor_ai.util.validators"
    const char* doc;
    void (*body)(ModuleBody&);
};

// Process-global state of one module file.
struct ModuleState {
    const ModuleDef* definition;
    std::int64_t interpreter_id = -1;
    PyObject* module = nullptr;
    PyObject* globals = nullptr;
};

PyObject* module_create(ModuleState& state, PyObject* import_spec) noexcept;
int module_exec(ModuleState& state, PyObject* module) noexcept;

class ModuleBody {
public:
    ModuleBody(ModuleState& state, PyObject* module_name);

    // The source line of the statement being run (class bodies share it).
    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }

    // import name  (binds the top-level package under its own name)
    void import(const char* name);
    // from module import a, b    with `module` absolute; level and relative
    // name are those written in the source (level 0 for absolute imports).
    void from_import(const char* absolute, const char* relative, int level, std::initializer_list<const char*> names,
                     std::initializer_list<const char*> bind_as = {});
    void assign(const char* name, Obj value);
    Ref global(PyObject* name) const;
    // def at module level, on the line of its definition
    Ref def(const FunctionDef& definition);
    Ref class_statement(const ClassDef& definition);
    void finish();  // binds __test__

    PyObject* globals() const noexcept { return state_.globals; }
    PyObject* module_name() const noexcept { return module_name_; }
    void record_doctest(PyObject* qualname, int line, const char* doc);

private:
    ModuleState& state_;
    int line_ = 1;
    PyObject* module_name_;
    Ref tests_;
};

class ClassBody {
public:
    ClassBody(ModuleBody& module, const char* qualname, PyObject* namespace_);

    // Lines of a class body are lines of the module body.
    void at(int line) noexcept { module_.at(line); }

    void annotate(const char* name, const char* annotation);
    void assign(const char* name, Obj value);
    // def in the class body, on the line of its definition; returns the
    // function object (to decorate it) and binds it unless bind is false.
    Ref def(const FunctionDef& definition, bool bind = true);
    Ref global(PyObject* name) const { return module_.global(name); }

    const std::vector<Ref>& functions() const noexcept { return functions_; }

private:
    ModuleBody& module_;
    const char* qualname_;
    PyObject* namespace_;
    Ref annotations_;
    std::vector<Ref> functions_;
};

}  // namespace frame

// Defines PyInit_<short_name> for a module described by `module_definition`.
#define FRAME_MODULE(short_name, module_definition)                                                           \
    namespace {                                                                                               \
    ::frame::ModuleState frame_module_state_{&(module_definition)};                                           \
    PyObject* frame_module_create_(PyObject* import_spec, PyModuleDef*) {                                     \
        return ::frame::module_create(frame_module_state_, import_spec);                                      \
    }                                                                                                         \
    int frame_module_exec_(PyObject* module) { return ::frame::module_exec(frame_module_state_, module); }    \
    PyModuleDef_Slot frame_module_slots_[] = {{Py_mod_create, reinterpret_cast<void*>(frame_module_create_)}, \
                                              {Py_mod_exec, reinterpret_cast<void*>(frame_module_exec_)},     \
                                              {0, nullptr}};                                                  \
    PyModuleDef frame_module_def_ = {PyModuleDef_HEAD_INIT,                                                   \
                                     #short_name,                                                             \
                                     (module_definition).doc,                                                 \
                                     0,                                                                       \
                                     nullptr,                                                                 \
                                     frame_module_slots_,                                                     \
                                     nullptr,                                                                 \
                                     nullptr,                                                                 \
                                     nullptr};                                                                \
    }                                                                                                         \
    PyMODINIT_FUNC PyInit_##short_name(void) { return PyModuleDef_Init(&frame_module_def_); }
