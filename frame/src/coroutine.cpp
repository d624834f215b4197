// The coroutine type: the Python-visible object that drives an async body.
//
// The body is a C++ coroutine that suspends only inside `co_await
// c.await_(x)`. While it is suspended the coroutine object holds the
// iterator it awaits and forwards send/throw/close to it, as `yield from`
// does; when that iterator finishes, the body resumes with its value or its
// exception.
#include <cstring>

#include "internal.hpp"

namespace frame {

enum class State : std::uint8_t { Created, Suspended, Finished };

struct CoroutineObject {
    PyObject_VAR_HEAD
    FunctionObject* function;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* frame;             // cr_frame, made on first access
    PyObject* awaiting;          // iterator the body awaits (cr_await)
    PyObject* yielded;           // value a fresh await yielded, to hand out
    PyObject* resume_value;      // what the awaited iterator returned
    PyObject* resume_exception;  // or what it raised
    PyObject* handled;           // the body's own sys.exc_info() while suspended
    PyObject* weakrefs;
    Task::Handle handle;
    CoroutineCall call;
    int line;
    State state;
    bool running;
    Ref slots[1];
};

namespace {

constexpr Py_ssize_t kSlotsOffset = offsetof(CoroutineObject, slots);

CoroutineObject* as_coroutine(PyObject* object) { return reinterpret_cast<CoroutineObject*>(object); }

bool is_native_coroutine(PyObject* object) {
    if (PyCoro_CheckExact(object)) return true;
    if (PyGen_CheckExact(object)) {
        PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(object));
        bool iterable_coroutine = code->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        return iterable_coroutine;
    }
    return false;
}

void destroy_body(CoroutineObject* co) noexcept {
    if (co->handle) {
        Task::Handle handle = std::exchange(co->handle, {});
        handle.destroy();
    }
}

// The iterator that `await value` drives, with the checks of the interpreter.
Ref awaitable_iterator(PyObject* value) {
    bool frame_coroutine = Py_TYPE(value) == types().coroutine;
    if (frame_coroutine || is_native_coroutine(value)) {
        bool busy;
        if (frame_coroutine) {
            busy = as_coroutine(value)->awaiting != nullptr;
        } else if (PyCoro_CheckExact(value)) {
            Ref awaited = getattr(value, FRAME_STR("cr_await"));
            busy = awaited.get() != Py_None;
        } else {
            busy = false;
        }
        if (busy) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            raise_current();
        }
        return borrow(value);
    }
    unaryfunc getter = Py_TYPE(value)->tp_as_async ? Py_TYPE(value)->tp_as_async->am_await : nullptr;
    if (getter == nullptr)
        raise_type_error("object %.200s can't be used in 'await' expression", Py_TYPE(value)->tp_name);
    Ref iterator = steal(getter(value));
    if (Py_TYPE(iterator.get()) == types().coroutine || is_native_coroutine(iterator.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        raise_current();
    }
    if (!PyIter_Check(iterator.get()))
        raise_type_error("__await__() returned non-iterator of type '%.200s'", Py_TYPE(iterator.get())->tp_name);
    return iterator;
}

// sys.exc_info() inside the body is the body's own, as for native
// coroutines: saved when it suspends, restored when it resumes.
class ExceptionContext {
public:
    explicit ExceptionContext(CoroutineObject* co) : co_(co), caller_(Ref::steal_or_null(PyErr_GetHandledException())) {
        if (co_->handled) PyErr_SetHandledException(co_->handled);
    }
    ~ExceptionContext() {
        Ref now = Ref::steal_or_null(PyErr_GetHandledException());
        Py_CLEAR(co_->handled);
        if (now.get() != caller_.get() && now.get() != Py_None) co_->handled = now.release();
        PyErr_SetHandledException(caller_.get());
    }

private:
    CoroutineObject* co_;
    Ref caller_;
};

class Running {
public:
    explicit Running(CoroutineObject* co) noexcept : co_(co) { co_->running = true; }
    ~Running() { co_->running = false; }

private:
    CoroutineObject* co_;
};

PyObject* body_name(CoroutineObject* co) { return co->function->name; }

void add_body_traceback(CoroutineObject* co) noexcept {
    add_traceback(body_name(co), co->function->filename, co->line, co->function->globals);
}

// Collects the end of the body: its result, or its exception with the
// traceback entry of the body's level.
PySendResult finish(CoroutineObject* co, PyObject** presult) {
    Task::promise_type& promise = co->handle.promise();
    co->state = State::Finished;
    bool failed = promise.failed;
    Ref result = std::move(promise.result);
    PendingException exception = std::move(promise.exception);
    destroy_body(co);
    if (!failed) {
        if (!result) result = new_none();
        try {
            // The declared result is tested as the body's last act.
            check_function_result(co->function, result.get());
            *presult = result.release();
            return PYGEN_RETURN;
        } catch (Error&) {
            exception = PendingException();
        }
    }
    exception.restore();
    add_body_traceback(co);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // A StopIteration escaping the body would end the awaiter's loop.
        PyObject* stop = PyErr_GetRaisedException();
        PyObject* error = PyObject_CallFunction(PyExc_RuntimeError, "s", "generator raised StopIteration");
        if (error == nullptr) {
            Py_DECREF(stop);
            return PYGEN_ERROR;
        }
        PyException_SetCause(error, Py_NewRef(stop));
        PyException_SetContext(error, stop);
        PyErr_SetRaisedException(error);
        add_body_traceback(co);
    }
    *presult = nullptr;
    return PYGEN_ERROR;
}

// Resumes the body with the value or exception prepared in resume_value /
// resume_exception, until it suspends in a new await or ends.
PySendResult resume_body(CoroutineObject* co, PyObject** presult) {
    co->handle.resume();
    if (co->handle.done()) return finish(co, presult);
    co->state = State::Suspended;
    *presult = std::exchange(co->yielded, nullptr);
    return PYGEN_NEXT;
}

PySendResult resume_with_value(CoroutineObject* co, PyObject* value, PyObject** presult) {
    Py_XSETREF(co->resume_value, value);
    return resume_body(co, presult);
}

PySendResult resume_with_exception(CoroutineObject* co, PyObject** presult) {
    Py_XSETREF(co->resume_exception, PyErr_GetRaisedException());
    return resume_body(co, presult);
}

// Ends a coroutine that has not started, with the pending exception.
PySendResult fail_unstarted(CoroutineObject* co, PyObject** presult) {
    co->state = State::Finished;
    destroy_body(co);
    co->line = co->function->info->spec->line;
    add_body_traceback(co);
    *presult = nullptr;
    return PYGEN_ERROR;
}

bool refuse_resumption(CoroutineObject* co, bool closing) {
    if (co->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (co->state == State::Finished) {
        if (!closing) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    return false;
}

PySendResult send_ex(CoroutineObject* co, PyObject* value, PyObject** presult) {
    *presult = nullptr;
    if (co->state == State::Created && value != Py_None && !co->running) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        co->state = State::Finished;
        destroy_body(co);
        return PYGEN_ERROR;
    }
    if (refuse_resumption(co, false)) return PYGEN_ERROR;
    Running running(co);
    ExceptionContext context(co);
    if (co->awaiting == nullptr) return resume_with_value(co, Py_NewRef(Py_None), presult);
    PyObject* result = nullptr;
    switch (PyIter_Send(co->awaiting, value, &result)) {
        case PYGEN_NEXT:
            *presult = result;
            return PYGEN_NEXT;
        case PYGEN_RETURN:
            Py_CLEAR(co->awaiting);
            return resume_with_value(co, result, presult);
        case PYGEN_ERROR:
            break;
    }
    Py_CLEAR(co->awaiting);
    return resume_with_exception(co, presult);
}

// Closes an awaited iterator as `yield from` does; -1 with an exception set
// if its close() raised.
int close_iterator(PyObject* iterator);

PySendResult throw_ex(CoroutineObject* co, PyObject* type, PyObject* value, PyObject* traceback, PyObject** presult);

PyObject* coroutine_close_impl(CoroutineObject* co) {
    if (co->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (co->state == State::Created) {
        co->state = State::Finished;
        destroy_body(co);
        Py_RETURN_NONE;
    }
    if (co->state == State::Finished) Py_RETURN_NONE;
    PyObject* result = nullptr;
    PySendResult status;
    {
        Running running(co);
        ExceptionContext context(co);
        int error = 0;
        if (co->awaiting) {
            error = close_iterator(co->awaiting);
            Py_CLEAR(co->awaiting);
        }
        if (error == 0) PyErr_SetNone(PyExc_GeneratorExit);
        status = resume_with_exception(co, &result);
    }
    if (status == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) {
        Py_DECREF(result);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

int close_iterator(PyObject* iterator) {
    PyObject* result = nullptr;
    if (Py_TYPE(iterator) == types().coroutine) {
        result = coroutine_close_impl(as_coroutine(iterator));
    } else {
        PyObject* method = nullptr;
        if (PyObject_GetOptionalAttr(iterator, FRAME_STR("close"), &method) < 0) PyErr_WriteUnraisable(iterator);
        if (method == nullptr) return 0;
        result = PyObject_CallNoArgs(method);
        Py_DECREF(method);
    }
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

// Raises type/value/traceback at the body's await point, as throw() does.
PySendResult throw_into_body(CoroutineObject* co, PyObject* type, PyObject* value, PyObject* traceback,
                             PyObject** presult) {
    if (traceback == Py_None) traceback = nullptr;
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return PYGEN_ERROR;
    }
    Ref exception;
    if (PyExceptionClass_Check(type)) {
        if (value == nullptr || value == Py_None) {
            exception = Ref::steal_or_null(PyObject_CallNoArgs(type));
        } else if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
            exception = borrow(value);
        } else if (PyTuple_Check(value)) {
            exception = Ref::steal_or_null(PyObject_Call(type, value, nullptr));
        } else {
            exception = Ref::steal_or_null(PyObject_CallOneArg(type, value));
        }
        if (!exception) return PYGEN_ERROR;
        if (!PyExceptionInstance_Check(exception.get())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         type, Py_TYPE(exception.get()));
            return PYGEN_ERROR;
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return PYGEN_ERROR;
        }
        exception = borrow(type);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return PYGEN_ERROR;
    }
    if (traceback != nullptr) PyException_SetTraceback(exception.get(), traceback);
    PyErr_SetRaisedException(exception.release());
    if (refuse_resumption(co, false)) return PYGEN_ERROR;
    if (co->state == State::Created) return fail_unstarted(co, presult);
    Running running(co);
    ExceptionContext context(co);
    return resume_with_exception(co, presult);
}

PySendResult throw_ex(CoroutineObject* co, PyObject* type, PyObject* value, PyObject* traceback, PyObject** presult) {
    *presult = nullptr;
    PyObject* iterator = co->awaiting;
    if (iterator == nullptr || co->running) return throw_into_body(co, type, value, traceback, presult);
    Py_INCREF(iterator);
    Ref awaited = steal(iterator);
    if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
        int error;
        {
            Running running(co);
            error = close_iterator(iterator);
        }
        Py_CLEAR(co->awaiting);
        if (error < 0) {
            Running running(co);
            ExceptionContext context(co);
            return resume_with_exception(co, presult);
        }
        return throw_into_body(co, type, value, traceback, presult);
    }
    PyObject* result = nullptr;
    PySendResult status;
    {
        Running running(co);
        ExceptionContext context(co);
        if (Py_TYPE(iterator) == types().coroutine) {
            status = throw_ex(as_coroutine(iterator), type, value, traceback, &result);
        } else {
            PyObject* method = nullptr;
            if (PyObject_GetOptionalAttr(iterator, FRAME_STR("throw"), &method) < 0) return PYGEN_ERROR;
            if (method == nullptr) {
                status = PYGEN_ERROR;
            } else {
                // Only the arguments the caller gave are passed on.
                result = PyObject_CallFunctionObjArgs(method, type, value, traceback, nullptr);
                Py_DECREF(method);
                status = result ? PYGEN_NEXT : PYGEN_ERROR;
                if (!result && PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    PyObject* stop = PyErr_GetRaisedException();
                    result = Py_NewRef(reinterpret_cast<PyStopIterationObject*>(stop)->value);
                    Py_DECREF(stop);
                    status = PYGEN_RETURN;
                }
            }
            if (method == nullptr) {
                Py_CLEAR(co->awaiting);
                goto into_body;
            }
        }
        if (status == PYGEN_NEXT) {
            *presult = result;
            return PYGEN_NEXT;
        }
        Py_CLEAR(co->awaiting);
        if (status == PYGEN_RETURN) return resume_with_value(co, result, presult);
        return resume_with_exception(co, presult);
    }
into_body:
    return throw_into_body(co, type, value, traceback, presult);
}

// --- Python-visible methods ------------------------------------------------

PyObject* result_of_send(PySendResult status, PyObject* result) {
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) {
        if (result == Py_None) {
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, result);
            if (stop != nullptr) {
                PyErr_SetObject(PyExc_StopIteration, stop);
                Py_DECREF(stop);
            }
        }
        Py_DECREF(result);
    }
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    PySendResult status = send_ex(as_coroutine(self), value, &result);
    return result_of_send(status, result);
}

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** presult) {
    return send_ex(as_coroutine(self), value, presult);
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    PyObject* result = nullptr;
    PySendResult status = throw_ex(as_coroutine(self), args[0], nargs > 1 ? args[1] : nullptr,
                                   nargs > 2 ? args[2] : nullptr, &result);
    return result_of_send(status, result);
}

PyObject* coroutine_close(PyObject* self, PyObject*) { return coroutine_close_impl(as_coroutine(self)); }

PyObject* refuse_pickle(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyObject* new_iterator(PyObject* coroutine);

PyObject* coroutine_await(PyObject* self) { return new_iterator(self); }

void coroutine_finalize(PyObject* self) {
    auto* co = as_coroutine(self);
    if (co->state == State::Finished) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (co->state == State::Created) {
        co->state = State::Finished;
        destroy_body(co);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", co->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        PyObject* result = coroutine_close_impl(co);
        if (result == nullptr) {
            PyErr_WriteUnraisable(self);
        } else {
            Py_DECREF(result);
        }
    }
    PyErr_SetRaisedException(saved);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* co = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(co->function));
    Py_VISIT(co->name);
    Py_VISIT(co->qualname);
    Py_VISIT(co->module);
    Py_VISIT(co->frame);
    Py_VISIT(co->awaiting);
    Py_VISIT(co->yielded);
    Py_VISIT(co->resume_value);
    Py_VISIT(co->resume_exception);
    Py_VISIT(co->handled);
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_VISIT(co->slots[i].get());
    return 0;
}

int coroutine_clear(PyObject* self) {
    auto* co = as_coroutine(self);
    if (co->running) return 0;
    destroy_body(co);
    co->state = State::Finished;
    Py_CLEAR(co->frame);
    Py_CLEAR(co->awaiting);
    Py_CLEAR(co->yielded);
    Py_CLEAR(co->resume_value);
    Py_CLEAR(co->resume_exception);
    Py_CLEAR(co->handled);
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) co->slots[i].reset();
    return 0;
}

void coroutine_dealloc(PyObject* self) {
    auto* co = as_coroutine(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    if (co->weakrefs) PyObject_ClearWeakRefs(self);
    coroutine_clear(self);
    Py_CLEAR(co->function);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    Py_CLEAR(co->module);
    PyObject_GC_Del(self);
}

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->qualname, self);
}

#define COROUTINE_FIELD(expression)                                           \
    [](PyObject* self, void*) -> PyObject* {                                  \
        PyObject* value = as_coroutine(self)->expression;                     \
        return Py_NewRef(value ? value : Py_None);                            \
    }

int set_name_field(PyObject** field, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_frame(PyObject* self, void*) {
    auto* co = as_coroutine(self);
    if (co->frame == nullptr) {
        PyObject* code = co->function->code;
        if (code == nullptr) Py_RETURN_NONE;
        PyObject* globals = PyDict_New();
        if (globals == nullptr) return nullptr;
        co->frame = reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
        Py_DECREF(globals);
        if (co->frame == nullptr) return nullptr;
    }
    return Py_NewRef(co->frame);
}

PyGetSetDef coroutine_getset[] = {
    {"__name__", COROUTINE_FIELD(name),
     [](PyObject* self, PyObject* value, void*) {
         return set_name_field(&as_coroutine(self)->name, value, "__name__ must be set to a string object");
     },
     nullptr, nullptr},
    {"__qualname__", COROUTINE_FIELD(qualname),
     [](PyObject* self, PyObject* value, void*) {
         return set_name_field(&as_coroutine(self)->qualname, value, "__qualname__ must be set to a string object");
     },
     nullptr, nullptr},
    {"__module__", COROUTINE_FIELD(module),
     [](PyObject* self, PyObject* value, void*) {
         Py_XSETREF(as_coroutine(self)->module, Py_NewRef(value ? value : Py_None));
         return 0;
     },
     nullptr, nullptr},
    {"cr_await", COROUTINE_FIELD(awaiting), nullptr, nullptr, nullptr},
    {"cr_code", COROUTINE_FIELD(function->code), nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_running", [](PyObject* self, void*) -> PyObject* { return PyBool_FromLong(as_coroutine(self)->running); },
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {"__reduce_ex__", refuse_pickle, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr, coroutine_am_send};

PyTypeObject coroutine_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "frame_coroutine";
    type.tp_basicsize = kSlotsOffset;
    type.tp_itemsize = sizeof(Ref);
    type.tp_dealloc = coroutine_dealloc;
    type.tp_as_async = &coroutine_async;
    type.tp_repr = coroutine_repr;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_traverse = coroutine_traverse;
    type.tp_clear = coroutine_clear;
    type.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
    type.tp_methods = coroutine_methods;
    type.tp_getset = coroutine_getset;
    type.tp_finalize = coroutine_finalize;
    return type;
}();

// --- the iterator returned by __await__ --------------------------------------

struct IteratorObject {
    PyObject_HEAD
    PyObject* coroutine;
};

PyObject* iterator_coroutine(PyObject* self) { return reinterpret_cast<IteratorObject*>(self)->coroutine; }

PyObject* new_iterator(PyObject* coroutine) {
    auto* iterator = PyObject_GC_New(IteratorObject, types().coroutine_iterator);
    if (iterator == nullptr) return nullptr;
    iterator->coroutine = Py_NewRef(coroutine);
    PyObject_GC_Track(iterator);
    return reinterpret_cast<PyObject*>(iterator);
}

PyObject* iterator_next(PyObject* self) {
    PyObject* result = nullptr;
    PySendResult status = send_ex(as_coroutine(iterator_coroutine(self)), Py_None, &result);
    return result_of_send(status, result);
}

PyObject* iterator_send(PyObject* self, PyObject* value) { return coroutine_send(iterator_coroutine(self), value); }
PyObject* iterator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coroutine_throw(iterator_coroutine(self), args, nargs);
}
PyObject* iterator_close(PyObject* self, PyObject*) { return coroutine_close(iterator_coroutine(self), nullptr); }

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(iterator_coroutine(self));
    return 0;
}

int iterator_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<IteratorObject*>(self)->coroutine);
    return 0;
}

void iterator_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    iterator_clear(self);
    PyObject_GC_Del(self);
}

PyObject* iterator_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot instantiate type, use 'await coroutine' instead");
    return nullptr;
}

PyMethodDef iterator_methods[] = {
    {"send", iterator_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iterator_throw)), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration."},
    {"close", iterator_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {"__reduce_ex__", refuse_pickle, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject iterator_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "frame_coroutine_iterator";
    type.tp_basicsize = sizeof(IteratorObject);
    type.tp_dealloc = iterator_dealloc;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = iterator_traverse;
    type.tp_clear = iterator_clear;
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = iterator_next;
    type.tp_methods = iterator_methods;
    type.tp_new = iterator_new;
    return type;
}();

}  // namespace

PyTypeObject* coroutine_type_object() { return &coroutine_type; }
PyTypeObject* coroutine_iterator_type_object() { return &iterator_type; }

bool is_coroutine(PyObject* object) noexcept { return Py_TYPE(object) == types().coroutine; }

PyObject* new_coroutine(FunctionObject* function, PyObject* const* args, int nargs) noexcept {
    const FunctionSpec& spec = *function->info->spec;
    Py_ssize_t nslots = static_cast<Py_ssize_t>(spec.params.size() + spec.locals.size());
    nslots += spec.hidden_slots;
    auto* co = PyObject_GC_NewVar(CoroutineObject, types().coroutine, nslots);
    if (co == nullptr) return nullptr;
    std::memset(reinterpret_cast<char*>(co) + sizeof(PyVarObject), 0, kSlotsOffset - sizeof(PyVarObject) +
                                                                          nslots * sizeof(Ref));
    co->function = reinterpret_cast<FunctionObject*>(Py_NewRef(reinterpret_cast<PyObject*>(function)));
    co->name = Py_NewRef(function->name);
    co->qualname = Py_NewRef(function->qualname);
    co->module = Py_NewRef(function->module);
    co->line = spec.line;
    co->state = State::Created;
    for (int i = 0; i < nargs; ++i) co->slots[i] = borrow(args[i]);
    co->call = CoroutineCall(co);
    try {
        co->handle = spec.async_body(co->call).release();
    } catch (...) {
        translate_exception();
        co->state = State::Finished;
        Py_DECREF(co);
        return nullptr;
    }
    PyObject_GC_Track(co);
    return reinterpret_cast<PyObject*>(co);
}

// --- the body's side -----------------------------------------------------------

void Task::promise_type::unhandled_exception() noexcept {
    translate_exception();
    exception = PendingException();
    failed = true;
}

bool Awaiting::await_ready() {
    Ref iterator = awaitable_iterator(awaitable_);
    // From here the coroutine object holds what it awaits, where the
    // collector can see it; the awaiter keeps nothing across the suspension.
    owned_.reset();
    awaitable_ = nullptr;
    PyObject* result = nullptr;
    switch (PyIter_Send(iterator.get(), Py_None, &result)) {
        case PYGEN_RETURN:
            // Finished without suspending: the body goes straight on.
            result_ = steal(result);
            done_ = true;
            return true;
        case PYGEN_NEXT:
            coroutine_->awaiting = iterator.release();
            coroutine_->yielded = result;
            return false;
        case PYGEN_ERROR:
            break;
    }
    raise_current();
}

Ref Awaiting::await_resume() {
    if (done_) return std::move(result_);
    if (coroutine_->resume_exception) {
        PyErr_SetRaisedException(std::exchange(coroutine_->resume_exception, nullptr));
        raise_current();
    }
    PyObject* value = std::exchange(coroutine_->resume_value, nullptr);
    return value ? steal(value) : new_none();
}

Ref& CoroutineCall::operator[](int index) const noexcept { return coroutine_->slots[index]; }
void CoroutineCall::at(int line) noexcept { coroutine_->line = line; }
int CoroutineCall::line() const noexcept { return coroutine_->line; }
PyObject* CoroutineCall::globals() const noexcept { return coroutine_->function->globals; }
Ref CoroutineCall::global(PyObject* name) const { return lookup_global(coroutine_->function->globals, name); }
PyObject* CoroutineCall::defining_class() const {
    if (coroutine_->function->defining_class == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        raise_current();
    }
    return coroutine_->function->defining_class;
}

}  // namespace frame
