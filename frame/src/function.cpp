// The function object type: binding, argument checks and introspection.
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "internal.hpp"

namespace frame {

namespace {

const char* tested_type_name(Check check) {
    switch (check) {
        case Check::Str:
            return "str";
        case Check::Bytes:
            return "bytes";
        case Check::Int:
            return "int";
        case Check::List:
        case Check::OptionalList:
            return "list";
        case Check::Dict:
            return "dict";
        case Check::Any:
            break;
    }
    return nullptr;
}

PyTypeObject* tested_type(Check check) {
    switch (check) {
        case Check::Str:
            return &PyUnicode_Type;
        case Check::Bytes:
            return &PyBytes_Type;
        case Check::Int:
            return &PyLong_Type;
        case Check::List:
        case Check::OptionalList:
            return &PyList_Type;
        case Check::Dict:
            return &PyDict_Type;
        case Check::Any:
            break;
    }
    return nullptr;
}

// Docstring with the common indentation of its later lines removed and
// surrounding blank lines and trailing blank space cut.
std::string clean_doc(const char* raw) {
    std::vector<std::string> lines;
    std::string current;
    for (const char* p = raw; *p; ++p) {
        if (*p == '\n') {
            lines.push_back(current);
            current.clear();
        } else if (*p == '\t') {
            current.append(8 - current.size() % 8, ' ');
        } else {
            current.push_back(*p);
        }
    }
    lines.push_back(current);
    std::size_t margin = std::string::npos;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::size_t indent = lines[i].find_first_not_of(' ');
        if (indent != std::string::npos && indent < margin) margin = indent;
    }
    std::size_t first = lines[0].find_first_not_of(' ');
    lines[0] = first == std::string::npos ? std::string() : lines[0].substr(first);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        lines[i] = margin == std::string::npos || lines[i].size() < margin ? std::string() : lines[i].substr(margin);
    }
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) joined.push_back('\n');
        joined += lines[i];
    }
    std::size_t begin = joined.find_first_not_of(" \n");
    std::size_t end = joined.find_last_not_of(" \n");
    if (begin == std::string::npos) return {};
    return joined.substr(begin, end - begin + 1);
}

Ref default_object(const Default& value) {
    if (value.kind == Default::Kind::Text) return str(value.text);
    return new_none();
}

Ref signature_doc(const FunctionDef& definition, const std::string& qualname) {
    std::string line = qualname + "(";
    for (std::size_t i = 0; i < definition.params.size(); ++i) {
        const Param& param = definition.params[i];
        bool is_varargs = definition.varargs && i + 1 == definition.params.size();
        if (i) line += ", ";
        const char* tested = is_varargs ? nullptr : tested_type_name(param.check);
        if (tested) (line += tested) += " ";
        if (is_varargs) line += "*";
        line += param.name;
        if (param.annotation) (line += ": ") += param.annotation;
        if (param.default_value.kind != Default::Kind::Absent) {
            Ref repr = steal(PyObject_Repr(default_object(param.default_value).get()));
            const char* text = PyUnicode_AsUTF8(repr.get());
            if (text == nullptr) raise_current();
            (line += " = ") += text;
        }
    }
    line += ")";
    if (definition.returns) (line += " -> ") += definition.returns;
    if (definition.doc == nullptr) return new_none();
    line += "\n\n";
    line += clean_doc(definition.doc);
    return str(line);
}

// An empty code object of the module's file, made once per module: each
// function's own is this one with its name, line and variables replaced.
PyObject* empty_code(PyObject* filename) {
    static std::map<std::string, PyObject*>* templates = new std::map<std::string, PyObject*>();
    const char* file_text = PyUnicode_AsUTF8(filename);
    if (file_text == nullptr) raise_current();
    auto found = templates->find(file_text);
    if (found != templates->end()) return found->second;
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_text, "", 1));
    if (code == nullptr) raise_current();
    templates->emplace(file_text, code);  // kept for the life of the process
    return code;
}

[[noreturn]] void refuse_slots(const FunctionDef& definition) {
    PyErr_Format(PyExc_SystemError, "the slots of %s do not start with its parameters", definition.name);
    raise_current();
}

// The co_varnames of a def: its parameters, then its locals or the rest of
// its slot names but the frame's own (those ending in `_`).
std::vector<PyObject*> variable_names(const FunctionDef& definition) {
    std::vector<PyObject*> names;
    for (const Param& param : definition.params) names.push_back(intern(param.name));
    if (definition.slots == nullptr) {
        for (const char* local : definition.locals) names.push_back(intern(local));
        return names;
    }
    std::size_t index = 0;
    std::string_view text(definition.slots);
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string name(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        name.erase(0, name.find_first_not_of(' '));
        name.erase(name.find_last_not_of(' ') + 1);
        if (index < definition.params.size()) {
            if (name != definition.params[index].name) refuse_slots(definition);
        } else if (name.back() != '_') {
            // The frame's own slots come after the Python names.
            if (names.size() < index) refuse_slots(definition);
            names.push_back(intern(name.c_str()));
        }
        ++index;
    }
    if (index < definition.params.size()) refuse_slots(definition);
    return names;
}

Ref make_code(const FunctionDef& definition, PyObject* filename, int nparams, const std::vector<PyObject*>& names) {
    PyObject* code = empty_code(filename);
    Py_ssize_t nvars = static_cast<Py_ssize_t>(names.size());
    Ref varnames = steal(PyTuple_New(nvars));
    Py_ssize_t i = 0;
    for (PyObject* name : names) PyTuple_SET_ITEM(varnames.get(), i++, Py_NewRef(name));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (definition.async_body) flags |= CO_COROUTINE;
    if (definition.varargs) flags |= CO_VARARGS;
    Ref replace = getattr(code, FRAME_STR("replace"));
    PyObject* name = intern(definition.name);
    Ref line = integer(definition.line);
    Ref argcount = integer(nparams);
    Ref flag_value = integer(flags);
    Ref nlocals = integer(nvars);
    return call_kw(replace, {name, name, line, argcount, varnames, nlocals, flag_value},
                   FRAME_KWNAMES("co_name", "co_qualname", "co_firstlineno", "co_argcount", "co_varnames", "co_nlocals",
                                 "co_flags"));
}

Ref coroutine_marker() {
    // Found once per module file; its async functions all share it.
    static PyObject* found = nullptr;
    if (found) return borrow(found);
    Ref module = Ref::steal_or_null(PyImport_ImportModule("asyncio.coroutines"));
    if (module) {
        Ref marker = Ref::steal_or_null(PyObject_GetAttrString(module.get(), "_is_coroutine"));
        if (marker) {
            found = Py_NewRef(marker.get());
            return marker;
        }
    }
    PyErr_Clear();
    return new_bool(true);
}

PyObject* builtins_dict() {
    static PyObject* dict = [] {
        Ref module = steal(PyImport_ImportModule("builtins"));
        return Py_NewRef(PyModule_GetDict(module.get()));
    }();
    return dict;
}

// --- binding -------------------------------------------------------------
//
// A failed binding sets its exception and reports where its traceback entry
// goes; C++ exceptions stay off these paths, so that refusing an argument
// costs no more than raising from Python does.

constexpr int kNoEntry = -1;  // a refused type: no traceback entry

const char* name_of(FunctionObject* function) noexcept { return PyUnicode_AsUTF8(function->name); }

int count_error(FunctionObject* function, const char* word, Py_ssize_t expected, Py_ssize_t given) noexcept {
    if (const char* name = name_of(function))
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, word,
                     expected, expected == 1 ? "" : "s", given);
    return function->info->line;
}

int keyword_error(FunctionObject* function, const char* format, PyObject* key) noexcept {
    if (const char* name = name_of(function)) PyErr_Format(PyExc_TypeError, format, name, key);
    return function->info->line;
}

void add_subclass_note() noexcept {
    PyObject* exception = PyErr_GetRaisedException();
    PyObject* result = PyObject_CallMethod(exception, "add_note", "s",
                                           "Subclasses of built-in types are refused here: the argument must be "
                                           "exactly of the built-in type, more strictly than PEP 484 asks.");
    if (result == nullptr) {
        Py_DECREF(exception);
        return;
    }
    Py_DECREF(result);
    PyErr_SetRaisedException(exception);
}

// "Argument 'x' has incorrect type (expected str, got " + type name + ")".
// The part before the type name is made once per parameter; the rest is
// copied in directly when both parts are ASCII, which spares the general
// formatter on a path that callers may take in a loop.
PyObject* refusal_message(FunctionInfo& info, int index, const char* type_name) noexcept {
    PyObject*& prefix = info.refusal_prefixes[index];
    if (prefix == nullptr) {
        prefix = PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got ",
                                      PyUnicode_AsUTF8(info.names[index]), tested_type_name(info.checks[index]));
        if (prefix == nullptr) return nullptr;
    }
    std::size_t length = strnlen(type_name, 200);
    bool ascii = PyUnicode_IS_ASCII(prefix);
    for (std::size_t i = 0; ascii && i < length; ++i) ascii = static_cast<unsigned char>(type_name[i]) < 0x80;
    if (!ascii) return PyUnicode_FromFormat("%U%.200s)", prefix, type_name);
    Py_ssize_t prefix_length = PyUnicode_GET_LENGTH(prefix);
    PyObject* message = PyUnicode_New(prefix_length + static_cast<Py_ssize_t>(length) + 1, 127);
    if (message == nullptr) return nullptr;
    Py_UCS1* data = PyUnicode_1BYTE_DATA(message);
    std::memcpy(data, PyUnicode_1BYTE_DATA(prefix), prefix_length);
    std::memcpy(data + prefix_length, type_name, length);
    data[prefix_length + length] = ')';
    return message;
}

int argument_type_error(FunctionInfo& info, int index, PyObject* value) noexcept {
    PyObject* message = refusal_message(info, index, Py_TYPE(value)->tp_name);
    if (message == nullptr) return kNoEntry;
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
    if (value != Py_None && PyObject_TypeCheck(value, tested_type(info.checks[index]))) add_subclass_note();
    return kNoEntry;
}

// Tests (and, for int, converts) the bound arguments in parameter order.
// Converted values are owned by `owned` and replace their entry in `bound`.
// Returns 0, or the line of the failure's traceback entry.
int check_arguments(FunctionObject* function, PyObject** bound, Ref* owned) noexcept {
    FunctionInfo& info = *function->info;
    for (int i = 0; i < info.nparams; ++i) {
        PyObject* value = bound[i];
        PyTypeObject* expected = info.exact[i];
        if (expected == nullptr || Py_IS_TYPE(value, expected) || (value == Py_None && info.none_allowed[i])) continue;
        if (info.checks[i] != Check::Int || !PyNumber_Check(value)) return argument_type_error(info, i, value);
        owned[i] = Ref::steal_or_null(PyNumber_Long(value));
        if (!owned[i]) {
            int line = info.definition->params[i].line;
            return line ? line : info.line;
        }
        bound[i] = owned[i].get();
    }
    return 0;
}

// True when every argument already has its exact tested type.
inline bool accepts_as_is(const FunctionInfo& info, PyObject* const* args) noexcept {
    if (!info.needs_conversion) return true;
    for (int i = 0; i < info.nparams; ++i) {
        PyTypeObject* expected = info.exact[i];
        if (expected != nullptr && !Py_IS_TYPE(args[i], expected) && !(args[i] == Py_None && info.none_allowed[i]))
            return false;
    }
    return true;
}

// The index of the parameter a keyword names, -1 for none, -2 on error.
int keyword_index(FunctionObject* function, PyObject* key) noexcept {
    const FunctionInfo& info = *function->info;
    // Callers pass interned names nearly always.
    for (int i = 0; i < info.nparams; ++i)
        if (info.names[i] == key) return i;
    if (!PyUnicode_Check(key)) {
        if (const char* name = name_of(function))
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
        return -2;
    }
    // Only an exact str is matched by hash: a subclass is matched by == alone,
    // as the interpreter does, so its __hash__ is never called.
    bool exact = PyUnicode_CheckExact(key);
    Py_hash_t hash = exact ? PyObject_Hash(key) : 0;
    if (hash == -1) return -2;
    for (int i = 0; i < info.nparams; ++i) {
        PyObject* name = info.names[i];
        if (exact) {
            if (PyObject_Hash(name) == hash && PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) &&
                PyUnicode_Compare(name, key) == 0)
                return i;
        } else {
            int equal = PyObject_RichCompareBool(key, name, Py_EQ);
            if (equal < 0) return -2;
            if (equal) return i;
        }
    }
    return -1;
}

// Runs a plain body on bound arguments.
PyObject* run_body(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs) noexcept {
    const FunctionInfo& info = *function->info;
    Call call(function, args, nargs);
    call.at(info.line);
    PyObject* result;
    try {
        result = info.body(call).release();
    } catch (const Error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        add_traceback(function->binding_name, function->filename, call.line(), function->globals);
        return nullptr;
    } catch (...) {
        translate_exception();
        add_traceback(function->binding_name, function->filename, call.line(), function->globals);
        return nullptr;
    }
    if (result_accepted(info, result)) return result;
    refuse_result(info, result);
    Py_DECREF(result);
    add_traceback(function->binding_name, function->filename, call.line(), function->globals);
    return nullptr;
}

inline PyObject* run(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (function->info->async_body) return new_coroutine(function, args, nargs);
    return run_body(function, args, nargs);
}

// Everything but exact positional arguments: defaults, keywords, conversions
// and the errors.
[[gnu::noinline]] PyObject* bind_and_run(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
    const FunctionInfo& info = *function->info;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* bound[kMaxParams] = {};
    Ref owned[kMaxParams];
    int failed_line = 0;
    if (nargs > info.nparams) {
        failed_line = count_error(function, info.has_defaults ? "at most" : "exactly", info.nparams, nargs);
        goto failed;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int index = keyword_index(function, key);
        if (index == -2) {
            failed_line = info.line;
            goto failed;
        }
        if (index < 0) {
            failed_line = keyword_error(function, "%s() got an unexpected keyword argument '%U'", key);
            goto failed;
        }
        if (index < nargs || bound[index] != nullptr) {
            failed_line = keyword_error(function, "%s() got multiple values for keyword argument '%U'", key);
            goto failed;
        }
        bound[index] = args[nargs + k];
    }
    for (int i = static_cast<int>(nargs); i < info.nparams; ++i) {
        if (bound[i] != nullptr) continue;
        if (i < info.nrequired) {
            failed_line = count_error(function, info.has_defaults ? "at least" : "exactly", info.nrequired, i);
            goto failed;
        }
        bound[i] = PyTuple_GET_ITEM(function->defaults, i - info.nrequired);
    }
    if (info.needs_conversion) failed_line = check_arguments(function, bound, owned);
    if (failed_line == 0) return run(function, bound, info.nparams);
failed:
    // Count and keyword errors point at the def line, failed int
    // conversions at the parameter; refused types get no entry.
    if (failed_line != kNoEntry)
        add_traceback(function->binding_name, function->filename, failed_line, function->globals);
    return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* function = reinterpret_cast<FunctionObject*>(callable);
    const FunctionInfo& info = *function->info;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Exactly the positional arguments, each of its exact tested type: the
    // vector is handed to the body as it is.
    if (kwnames == nullptr && nargs == info.nparams && accepts_as_is(info, args)) return run(function, args, nargs);
    return bind_and_run(function, args, nargs, kwnames);
}

// *args functions take positional arguments only, all of them untested.
PyObject* varargs_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* function = reinterpret_cast<FunctionObject*>(callable);
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        int line =
            keyword_error(function, "%s() got an unexpected keyword argument '%U'", PyTuple_GET_ITEM(kwnames, 0));
        add_traceback(function->binding_name, function->filename, line, function->globals);
        return nullptr;
    }
    return run(function, args, PyVectorcall_NARGS(nargsf));
}

// --- the type ---------------------------------------------------------------

using Field = PyObject* FunctionObject::*;
// The references of a function object. Those cleared for the collector come
// first; the names and the code stay, as a repr or an error message may
// still read them.
constexpr Field kFields[] = {&FunctionObject::doc,
                             &FunctionObject::globals,
                             &FunctionObject::defaults,
                             &FunctionObject::annotations,
                             &FunctionObject::is_coroutine,
                             &FunctionObject::dict,
                             &FunctionObject::defining_class,
                             &FunctionObject::module,
                             &FunctionObject::coroutine_names,
                             &FunctionObject::name,
                             &FunctionObject::qualname,
                             &FunctionObject::code};
constexpr int kCleared = 9;

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    for (Field field : kFields) Py_VISIT(f->*field);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    for (int i = 0; i < kCleared; ++i) Py_CLEAR(f->*kFields[i]);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_CLEAR(f->filename);
    Py_CLEAR(f->binding_name);
    release_free_coroutines(*f->info);
    for (PyObject* prefix : f->info->refusal_prefixes) Py_XDECREF(prefix);
    delete f->info;
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyObject* get_field(PyObject* value) noexcept { return Py_NewRef(value ? value : Py_None); }

// The names coroutines start with follow the function's.
void names_changed(PyObject* self) noexcept { Py_CLEAR(reinterpret_cast<FunctionObject*>(self)->coroutine_names); }

int set_string_field(PyObject* self, PyObject** field, PyObject* value, const char* message) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    names_changed(self);
    return 0;
}

#define FUNCTION_FIELD(field)                                             \
    [](PyObject* self, void*) noexcept -> PyObject* {                     \
        return get_field(reinterpret_cast<FunctionObject*>(self)->field); \
    }

PyGetSetDef function_getset[] = {
    {"__name__", FUNCTION_FIELD(name),
     [](PyObject* self, PyObject* value, void*) noexcept {
         return set_string_field(self, &reinterpret_cast<FunctionObject*>(self)->name, value,
                                 "__name__ must be set to a string object");
     },
     nullptr, nullptr},
    {"__qualname__", FUNCTION_FIELD(qualname),
     [](PyObject* self, PyObject* value, void*) noexcept {
         return set_string_field(self, &reinterpret_cast<FunctionObject*>(self)->qualname, value,
                                 "__qualname__ must be set to a string object");
     },
     nullptr, nullptr},
    {"__module__", FUNCTION_FIELD(module),
     [](PyObject* self, PyObject* value, void*) noexcept {
         Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->module, Py_XNewRef(value ? value : Py_None));
         names_changed(self);
         return 0;
     },
     nullptr, nullptr},
    {"__doc__", FUNCTION_FIELD(doc),
     [](PyObject* self, PyObject* value, void*) noexcept {
         Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->doc, Py_XNewRef(value ? value : Py_None));
         return 0;
     },
     nullptr, nullptr},
    {"__globals__", FUNCTION_FIELD(globals), nullptr, nullptr, nullptr},
    {"__code__", FUNCTION_FIELD(code), nullptr, nullptr, nullptr},
    {"__defaults__", FUNCTION_FIELD(defaults), nullptr, nullptr, nullptr},
    {"__kwdefaults__", [](PyObject*, void*) noexcept -> PyObject* { Py_RETURN_NONE; }, nullptr, nullptr, nullptr},
    {"__annotations__", FUNCTION_FIELD(annotations), nullptr, nullptr, nullptr},
    {"_is_coroutine", FUNCTION_FIELD(is_coroutine), nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject type =
        gc_type("frame_function", sizeof(FunctionObject), Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
                function_dealloc, function_traverse, function_clear);
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    type.tp_methods = function_methods;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_descr_get;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    return type;
}();

}  // namespace

PyTypeObject* function_type_object() { return &function_type; }

void refuse_result(const FunctionInfo& info, PyObject* result) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", tested_type_name(info.result), Py_TYPE(result)->tp_name);
}

bool is_function(PyObject* object) noexcept { return Py_TYPE(object) == types().function; }

Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(globals, name, &value))) return steal(value);
    if (check(PyDict_GetItemRef(builtins_dict(), name, &value))) return steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise_current();
}

Ref Call::global(PyObject* name) const { return lookup_global(function_->globals, name); }

PyObject* Call::defining_class() const { return defining_class_of(function_); }

PyObject* defining_class_of(const FunctionObject* function) {
    if (function->defining_class == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        raise_current();
    }
    return function->defining_class;
}

void set_defining_class(PyObject* function, PyObject* cls) {
    if (!is_function(function)) return;
    Py_XSETREF(reinterpret_cast<FunctionObject*>(function)->defining_class, Py_NewRef(cls));
}

Ref make_function(const FunctionDef& definition, PyObject* module_name, PyObject* globals,
                  const char* qualname_prefix) {
    int nparams = static_cast<int>(definition.params.size()) - (definition.varargs ? 1 : 0);
    if (nparams > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a frame function");
        raise_current();
    }
    std::vector<PyObject*> names = variable_names(definition);
    if (names.size() > UINT16_MAX) {
        PyErr_SetString(PyExc_SystemError, "too many locals for a frame function");
        raise_current();
    }
    std::string qualname = qualname_prefix && *qualname_prefix ? std::string(qualname_prefix) + "." + definition.name
                                                               : std::string(definition.name);
    const char* dotted = PyUnicode_AsUTF8(module_name);
    if (dotted == nullptr) raise_current();

    // Made first: the object's dealloc, which a failure below runs, reads it.
    auto new_info = std::make_unique<FunctionInfo>();
    auto* f = PyObject_GC_New(FunctionObject, types().function);
    if (f == nullptr) raise_current();
    std::memset(reinterpret_cast<char*>(f) + sizeof(PyObject), 0, sizeof(FunctionObject) - sizeof(PyObject));
    f->info = new_info.release();
    Ref self = steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = definition.varargs ? varargs_vectorcall : function_vectorcall;
    FunctionInfo& info = *f->info;
    info.definition = &definition;
    info.body = definition.body;
    info.async_body = definition.async_body;
    info.line = definition.line;
    info.nparams = nparams;
    info.nrequired = 0;
    // Each frame-owned slot name stands for the slots of an `async with`.
    int frame_owned = definition.slots ? count_names(definition.slots) - static_cast<int>(names.size()) : 0;
    info.nslots = static_cast<int>(names.size()) + frame_owned * kAsyncWithSlots;
    info.result = definition.result;
    info.result_type = tested_type(info.result);
    for (int i = 0; i < nparams; ++i) {
        const Param& param = definition.params[i];
        info.checks[i] = param.check;
        info.exact[i] = tested_type(info.checks[i]);
        info.none_allowed[i] = info.checks[i] == Check::OptionalList;
        if (info.checks[i] != Check::Any) info.needs_conversion = true;
        if (param.default_value.kind == Default::Kind::Absent) {
            info.nrequired = i + 1;
        } else {
            info.has_defaults = true;
        }
        info.names[i] = intern(param.name);
    }
    f->name = Py_NewRef(intern(definition.name));
    f->qualname = str(qualname).release();
    f->module = Py_NewRef(module_name);
    f->globals = Py_NewRef(globals);
    // Code objects and tracebacks name the source path relative to the
    // package root.
    f->filename = str(source_path(dotted)).release();
    f->binding_name = str(std::string(dotted) + "." + qualname).release();
    f->doc = signature_doc(definition, qualname).release();
    f->code = make_code(definition, f->filename, nparams, names).release();
    if (info.has_defaults) {
        Ref defaults = steal(PyTuple_New(nparams - info.nrequired));
        for (int i = info.nrequired; i < nparams; ++i)
            PyTuple_SET_ITEM(defaults.get(), i - info.nrequired,
                             default_object(definition.params[i].default_value).release());
        f->defaults = defaults.release();
    }
    Ref annotations = new_dict();
    for (const Param& param : definition.params)
        if (param.annotation) set_item(annotations, intern(param.name), str(param.annotation));
    if (definition.returns) set_item(annotations, FRAME_STR("return"), str(definition.returns));
    f->annotations = annotations.release();
    f->is_coroutine = definition.async_body ? coroutine_marker().release() : new_bool(false).release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return self;
}

}  // namespace frame
