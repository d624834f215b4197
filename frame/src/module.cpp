// Module creation and execution, and the statements of module and class
// bodies.
#include <string>

#include "frame/module.hpp"
#include "internal.hpp"

namespace frame {

namespace {

std::string short_name(const char* dotted) {
    std::string name(dotted);
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(dot + 1);
}

// Copies an attribute of the import system's ModuleSpec into the module dict;
// a missing attribute is skipped.
void copy_import_attribute(PyObject* import_spec, const char* attribute, PyObject* dict, const char* key,
                           bool skip_none) {
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttrString(import_spec, attribute, &value)) == 0) return;
    Ref owned = steal(value);
    if (skip_none && value == Py_None) return;
    check(PyDict_SetItemString(dict, key, value));
}

// The metaclass a class statement derives from its bases.
PyObject* derive_metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                        "subclass of the metaclasses of all its bases");
        raise_current();
    }
    return reinterpret_cast<PyObject*>(winner);
}

// Bases after __mro_entries__, as the class statement resolves them.
Ref resolve_bases(PyObject* bases) {
    Ref resolved = new_list();
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        PyObject* entries = nullptr;
        if (!PyType_Check(base) && check(PyObject_GetOptionalAttr(base, FRAME_STR("__mro_entries__"), &entries))) {
            Ref method = steal(entries);
            Ref replacement = call(method, {bases});
            if (!PyTuple_Check(replacement.get())) {
                PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                raise_current();
            }
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(replacement.get()); ++j)
                append(resolved, PyTuple_GET_ITEM(replacement.get(), j));
            changed = true;
        } else {
            append(resolved, base);
        }
    }
    if (!changed) return borrow(bases);
    return steal(PyList_AsTuple(resolved.get()));
}

}  // namespace

std::string source_path(std::string_view dotted) {
    std::string path(dotted);
    for (char& c : path)
        if (c == '.') c = '/';
    return path + ".py";
}

PyObject* module_create(ModuleState& state, PyObject* import_spec) noexcept {
    try {
        std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id < 0) return nullptr;
        if (state.interpreter_id == -1) {
            state.interpreter_id = id;
        } else if (state.interpreter_id != id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            return nullptr;
        }
        if (state.module) return Py_NewRef(state.module);
        Ref name = getattr(import_spec, FRAME_STR("name"));
        Ref module = steal(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_import_attribute(import_spec, "loader", dict, "__loader__", false);
        copy_import_attribute(import_spec, "origin", dict, "__file__", false);
        copy_import_attribute(import_spec, "parent", dict, "__package__", false);
        copy_import_attribute(import_spec, "submodule_search_locations", dict, "__path__", true);
        return module.release();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

int module_exec(ModuleState& state, PyObject* module) noexcept {
    const ModuleDef& definition = *state.definition;
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name(definition.dotted_name).c_str());
        return -1;
    }
    state.module = Py_NewRef(module);
    state.globals = PyModule_GetDict(module);
    std::string init_name = std::string("init ") + definition.dotted_name;
    bool body_started = false;
    int line = 1;
    try {
        Ref builtins = steal(PyImport_ImportModule("builtins"));
        setattr(module, FRAME_STR("__builtins__"), builtins);
        int major = static_cast<int>((Py_Version >> 24) & 0xff);
        int minor = static_cast<int>((Py_Version >> 16) & 0xff);
        if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
            check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                   "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                   PY_MAJOR_VERSION, PY_MINOR_VERSION, definition.dotted_name, "does not match", major,
                                   minor));
        }
        body_started = true;
        ready_types();
        Ref dotted = str(definition.dotted_name);
        PyObject* modules = PyImport_GetModuleDict();
        if (!check(PyDict_Contains(modules, dotted.get()))) check(PyDict_SetItem(modules, dotted.get(), module));
        ModuleBody body(state, dotted.get());
        try {
            definition.body(body);
            body.finish();
        } catch (...) {
            line = body.line();
            throw;
        }
        return 0;
    } catch (...) {
        translate_exception();
        if (body_started) {
            // Interned: the cache of traceback code objects is keyed by these
            // objects, and names made afresh would add an entry at every
            // failed import.
            Ref name = Ref::steal_or_null(PyUnicode_InternFromString(init_name.c_str()));
            Ref file = Ref::steal_or_null(PyUnicode_InternFromString(source_path(definition.dotted_name).c_str()));
            if (name && file) add_traceback(name.get(), file.get(), line, state.globals);
        }
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, init_name.c_str());
        Py_CLEAR(state.module);
        state.globals = nullptr;
        return -1;
    }
}

// --- module body -------------------------------------------------------------

ModuleBody::ModuleBody(ModuleState& state, PyObject* module_name)
    : state_(state), module_name_(module_name), tests_(new_dict()) {}

Ref ModuleBody::global(PyObject* name) const { return lookup_global(state_.globals, name); }

void ModuleBody::assign(const char* name, Obj value) { check(PyDict_SetItem(state_.globals, intern(name), value)); }

void ModuleBody::import(const char* name) {
    Ref empty = new_dict();
    Ref top = steal(PyImport_ImportModuleLevelObject(str(name).get(), state_.globals, empty.get(), nullptr, 0));
    std::string binding(name);
    binding = binding.substr(0, binding.find('.'));
    assign(binding.c_str(), top);
}

void ModuleBody::from_import(const char* absolute, const char* relative, int level,
                             std::initializer_list<const char*> names, std::initializer_list<const char*> bind_as) {
    Ref module;
    PyObject* cached = nullptr;
    if (check(PyDict_GetItemStringRef(PyImport_GetModuleDict(), absolute, &cached))) {
        module = steal(cached);
        for (const char* name : names) {
            if (!hasattr(module, intern(name))) {
                module.reset();
                break;
            }
        }
    }
    if (!module) {
        Ref fromlist = steal(PyList_New(0));
        for (const char* name : names) append(fromlist, intern(name));
        Ref empty = new_dict();
        module = steal(
            PyImport_ImportModuleLevelObject(str(relative).get(), state_.globals, empty.get(), fromlist.get(), level));
    }
    auto alias = bind_as.begin();
    for (const char* name : names) {
        PyObject* value = nullptr;
        if (!check(PyObject_GetOptionalAttr(module.get(), intern(name), &value))) {
            std::string submodule = std::string(absolute) + "." + name;
            if (!check(PyDict_GetItemStringRef(PyImport_GetModuleDict(), submodule.c_str(), &value))) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", intern(name));
                raise_current();
            }
        }
        Ref owned = steal(value);
        const char* binding = name;
        if (alias != bind_as.end()) binding = *alias++;
        assign(binding, owned);
    }
}

void ModuleBody::record_doctest(PyObject* qualname, int line, const char* doc) {
    if (doc == nullptr || std::string_view(doc).find(">>>") == std::string_view::npos) return;
    Ref key = steal(PyUnicode_FromFormat("%U (line %d)", qualname, line));
    set_item(tests_, key, str(doc));
}

Ref ModuleBody::def(const FunctionDef& definition) {
    at(definition.line);
    Ref function = make_function(definition, module_name_, state_.globals, "");
    record_doctest(reinterpret_cast<FunctionObject*>(function.get())->qualname, definition.line, definition.doc);
    assign(definition.name, function);
    return function;
}

Ref ModuleBody::class_statement(const ClassDef& definition) {
    at(definition.line);
    const char* name = definition.name;
    Ref original = steal(PyTuple_New(static_cast<Py_ssize_t>(definition.bases.size())));
    Py_ssize_t i = 0;
    for (const char* base : definition.bases) PyTuple_SET_ITEM(original.get(), i++, global(intern(base)).release());
    Ref resolved = resolve_bases(original.get());
    // Held: __prepare__ and the class body run Python code, which could
    // reassign a base's __class__ and drop the last other reference.
    Ref metaclass = borrow(derive_metaclass(resolved.get()));
    Ref class_name = str(name);
    Ref namespace_;
    PyObject* prepare = nullptr;
    if (check(PyObject_GetOptionalAttr(metaclass.get(), FRAME_STR("__prepare__"), &prepare))) {
        Ref method = steal(prepare);
        namespace_ = call(method, {class_name, resolved});
    } else {
        namespace_ = new_dict();
    }
    check(PyObject_SetItem(namespace_.get(), FRAME_STR("__module__"), module_name_));
    check(PyObject_SetItem(namespace_.get(), FRAME_STR("__qualname__"), class_name.get()));
    if (definition.doc) check(PyObject_SetItem(namespace_.get(), FRAME_STR("__doc__"), str(definition.doc).get()));
    ClassBody class_body(*this, name, namespace_.get());
    definition.body(class_body);
    if (resolved.get() != original.get())
        check(PyObject_SetItem(namespace_.get(), FRAME_STR("__orig_bases__"), original.get()));
    at(definition.line);
    Ref cls = call(metaclass, {class_name, resolved, namespace_});
    for (const Ref& function : class_body.functions()) set_defining_class(function.get(), cls.get());
    assign(name, cls);
    return cls;
}

void ModuleBody::finish() { assign("__test__", tests_); }

// --- class body ----------------------------------------------------------------

ClassBody::ClassBody(ModuleBody& module, const char* qualname, PyObject* namespace_)
    : module_(module), qualname_(qualname), namespace_(namespace_) {}

void ClassBody::annotate(const char* name, const char* annotation) {
    if (!annotations_) {
        annotations_ = new_dict();
        check(PyObject_SetItem(namespace_, FRAME_STR("__annotations__"), annotations_.get()));
    }
    set_item(annotations_, intern(name), str(annotation));
}

void ClassBody::assign(const char* name, Obj value) { check(PyObject_SetItem(namespace_, intern(name), value)); }

Ref ClassBody::def(const FunctionDef& definition, bool bind) {
    at(definition.line);
    Ref function = make_function(definition, module_.module_name(), module_.globals(), qualname_);
    module_.record_doctest(reinterpret_cast<FunctionObject*>(function.get())->qualname, definition.line,
                           definition.doc);
    functions_.push_back(function);
    if (bind) assign(definition.name, function);
    return function;
}

}  // namespace frame
