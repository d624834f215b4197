// The coroutine type: the Python-visible object that drives an async body.
//
// The body is a C++ coroutine that suspends only inside `co_await
// c.await_(x)`, in itself or in a coroutine nested in it (an `async with`).
// While it is suspended the coroutine object holds the iterator it awaits
// and forwards send/throw/close to it, as `yield from` does; when that
// iterator finishes, the body resumes with its value or its exception.
#include <cstring>

#include "internal.hpp"

namespace frame {

enum class State : std::uint8_t { Created, Suspended, Finished };

// What `transfer` holds.
enum class Transfer : std::uint8_t {
    Empty,
    Value,      // a value an await yields or resumes with, or the body's result
    Exception,  // an exception an await resumes with, or the body's exception
    Handled,    // while suspended: the body's own sys.exc_info()
};

// One allocation per call: these fields, the C++ frame of the body, then the
// slots. The fields are kept to what a suspended coroutine needs, so that it
// costs no more memory than a native one.
struct CoroutineObject : CoroutineCall {
    PyObject_HEAD
    // (__name__, __qualname__, __module__, function): the function's own
    // tuple until a name is reassigned here; cr_frame, once asked for, is a
    // fifth item.
    PyObject* names;
    // What passes between the body and the methods that drive it (Transfer).
    PyObject* transfer;
    PyObject* weakrefs;
    int line;
    std::uint16_t slots_offset;  // in bytes from the start of the object
    State state;
    Transfer transfer_kind : 2;
    bool running : 1;
    bool body_alive : 1;
    // The exception leaving the body has the body's traceback entry already.
    bool body_entry_given : 1;
};

namespace {

// The body's frame follows the fields, aligned as operator new would give it.
constexpr std::size_t kBodyOffset = sizeof(CoroutineObject);
static_assert(kBodyOffset % 16 == 0);

CoroutineObject* as_coroutine(PyObject* object) noexcept { return reinterpret_cast<CoroutineObject*>(object); }

constexpr std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

Task::Handle body_of(CoroutineObject* co) noexcept {
    return Task::Handle::from_address(reinterpret_cast<char*>(co) + kBodyOffset);
}

CoroutineObject* object_of_body(void* body) noexcept {
    return reinterpret_cast<CoroutineObject*>(static_cast<char*>(body) - kBodyOffset);
}

Ref* slots_of(CoroutineObject* co) noexcept {
    return reinterpret_cast<Ref*>(reinterpret_cast<char*>(co) + co->slots_offset);
}

FunctionObject* function_of(CoroutineObject* co) noexcept {
    return reinterpret_cast<FunctionObject*>(PyTuple_GET_ITEM(co->names, 3));
}

int slot_count(CoroutineObject* co) noexcept { return function_of(co)->info->nslots; }

// The body's promise points at the innermost nested coroutine it runs with
// this tag on the pointer, which an object's address never has.
constexpr std::uintptr_t kNested = 1;

PyObject* tagged(detail::NestedPromise* nested) noexcept {
    return reinterpret_cast<PyObject*>(reinterpret_cast<std::uintptr_t>(nested) | kNested);
}

detail::NestedPromise* innermost_nested(detail::BodyPromise& body) noexcept {
    auto word = reinterpret_cast<std::uintptr_t>(body.awaiting);
    return word & kNested ? reinterpret_cast<detail::NestedPromise*>(word & ~kNested) : nullptr;
}

// The promise of what the body runs innermost: the body's own, or the nested
// coroutine it is in.
detail::BodyPromise& innermost(CoroutineObject* co) noexcept {
    detail::BodyPromise& body = body_of(co).promise();
    detail::NestedPromise* nested = innermost_nested(body);
    return nested ? *nested : body;
}

// The iterator the body awaits; only a live body awaits anything.
PyObject* current_await(CoroutineObject* co) noexcept { return co->body_alive ? innermost(co).awaiting : nullptr; }
PyObject*& awaiting(CoroutineObject* co) noexcept { return innermost(co).awaiting; }

PyObject* take_transfer(CoroutineObject* co) noexcept {
    co->transfer_kind = Transfer::Empty;
    return std::exchange(co->transfer, nullptr);
}

void set_transfer(CoroutineObject* co, PyObject* value, Transfer kind) noexcept {
    PyObject* old = co->transfer;
    co->transfer = value;
    co->transfer_kind = value ? kind : Transfer::Empty;
    Py_XDECREF(old);
}

PyObject* name_item(CoroutineObject* co, int index) noexcept { return PyTuple_GET_ITEM(co->names, index); }

bool is_native_coroutine(PyObject* object) noexcept {
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
    if (co->body_alive) {
        Task::Handle body = body_of(co);
        PyObject* iterator = std::exchange(awaiting(co), nullptr);
        // The nested coroutines go with the body's frame, which owns them.
        body.promise().awaiting = nullptr;
        co->body_alive = false;
        if (body.done()) {
            body.destroy();
        } else {
            // A body destroyed while suspended ends its except blocks without
            // running them to their end: their HandledException must not
            // restore anything into the thread. Each restores only while its
            // own exception is the current one, which None here rules out
            // even when the caller handles that very exception.
            PyObject* caller = PyErr_GetHandledException();
            PyErr_SetHandledException(Py_None);
            body.destroy();
            PyErr_SetHandledException(caller);
            Py_XDECREF(caller);
        }
        Py_XDECREF(iterator);
    }
}

// Whether a native coroutine is awaiting something (its cr_await), read
// through the coroutine type's own descriptor, found once: this spares an
// attribute lookup on every await of a native coroutine.
bool native_coroutine_awaits(PyObject* coroutine) {
    static PyObject* const descriptor = [] {
        Ref dict = steal(PyType_GetDict(&PyCoro_Type));
        PyObject* found = PyDict_GetItemWithError(dict.get(), FRAME_STR("cr_await"));
        if (found == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "coroutine type without cr_await");
            raise_current();
        }
        return Py_NewRef(found);
    }();
    Ref awaited =
        steal(Py_TYPE(descriptor)->tp_descr_get(descriptor, coroutine, reinterpret_cast<PyObject*>(&PyCoro_Type)));
    return awaited.get() != Py_None;
}

// The iterator that `await value` drives, with the checks of the interpreter.
Ref awaitable_iterator(PyObject* value) {
    bool frame_coroutine = Py_TYPE(value) == types().coroutine;
    if (frame_coroutine || is_native_coroutine(value)) {
        bool busy;
        if (frame_coroutine) {
            busy = current_await(as_coroutine(value)) != nullptr;
        } else if (PyCoro_CheckExact(value)) {
            busy = native_coroutine_awaits(value);
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
    explicit ExceptionContext(CoroutineObject* co) noexcept : co_(co), caller_(PyErr_GetHandledException()) {
        if (co_->transfer_kind == Transfer::Handled) {
            own_ = take_transfer(co_);
            PyErr_SetHandledException(own_);
        }
    }
    ~ExceptionContext() {
        PyObject* now = PyErr_GetHandledException();
        Py_XDECREF(own_);
        // Kept while the body is suspended, where nothing else is in transfer.
        if (now != caller_ && now != Py_None && co_->state == State::Suspended &&
            co_->transfer_kind == Transfer::Empty) {
            set_transfer(co_, now, Transfer::Handled);
        } else {
            Py_XDECREF(now);
        }
        // Left as it is when neither this object nor the body changed it.
        if (own_ != nullptr || now != caller_) PyErr_SetHandledException(caller_);
        Py_XDECREF(caller_);
    }
    ExceptionContext(const ExceptionContext&) = delete;
    ExceptionContext& operator=(const ExceptionContext&) = delete;

    // An exception thrown into a body that handles one of its own (inside an
    // except block, or a with statement's exit) is raised there anew, as the
    // interpreter raises one thrown into its frame: its __context__ becomes
    // the handled exception.
    void chain_thrown() const noexcept {
        if (own_ == nullptr || !PyErr_Occurred()) return;
        PyObject* exception = PyErr_GetRaisedException();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
        Py_DECREF(exception);
    }

private:
    CoroutineObject* co_;
    PyObject* caller_;
    PyObject* own_ = nullptr;
};

class Running {
public:
    explicit Running(CoroutineObject* co) noexcept : co_(co) { co_->running = true; }
    ~Running() { co_->running = false; }

private:
    CoroutineObject* co_;
};

PyObject* body_name(CoroutineObject* co) noexcept { return function_of(co)->name; }

void add_body_traceback(CoroutineObject* co) noexcept {
    add_traceback(body_name(co), function_of(co)->filename, co->line, function_of(co)->globals);
}

// Collects the end of the body: its result, or its exception with the
// traceback entry of the body's level.
PySendResult finish(CoroutineObject* co, PyObject** presult) noexcept {
    co->state = State::Finished;
    bool failed = co->transfer_kind == Transfer::Exception;
    PyObject* outcome = take_transfer(co);
    destroy_body(co);
    if (!failed) {
        if (outcome == nullptr) outcome = Py_NewRef(Py_None);
        // The declared result is tested as the body's last act.
        if (result_accepted(*function_of(co)->info, outcome)) {
            *presult = outcome;
            return PYGEN_RETURN;
        }
        refuse_result(*function_of(co)->info, outcome);
        Py_DECREF(outcome);
        outcome = PyErr_GetRaisedException();
    }
    PyErr_SetRaisedException(outcome);
    // An exception that an async with let through has the entry already.
    if (!take_body_entry(*co)) add_body_traceback(co);
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

// Entering a coroutine object (to resume it or to forward into what it
// awaits) and entering its body each go one level deeper into the C stack:
// a chain of coroutines awaiting each other counts against the interpreter's
// recursion limit, as native ones do. Two levels a link, as a link costs
// more stack than the interpreter's own unit.
class Depth {
public:
    Depth() noexcept : entered_(Py_EnterRecursiveCall("") == 0) {}
    ~Depth() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

// A coroutine refused at the recursion limit ends there without running, as
// a native one does; the RecursionError is pending.
PySendResult end_at_depth_limit(CoroutineObject* co, PyObject** presult) noexcept {
    co->state = State::Finished;
    Py_XDECREF(take_transfer(co));
    destroy_body(co);
    *presult = nullptr;
    return PYGEN_ERROR;
}

// Resumes the body with what is prepared in `transfer`, until it suspends in
// a new await or ends.
PySendResult resume_body(CoroutineObject* co, PyObject** presult) noexcept {
    Task::Handle body = body_of(co);
    Depth depth;
    if (!depth) return end_at_depth_limit(co, presult);
    detail::NestedPromise* nested = innermost_nested(body.promise());
    if (nested) {
        nested->self.resume();
    } else {
        body.resume();
    }
    if (body.done()) return finish(co, presult);
    co->state = State::Suspended;
    *presult = take_transfer(co);
    return PYGEN_NEXT;
}

PySendResult resume_with_value(CoroutineObject* co, PyObject* value, PyObject** presult) noexcept {
    set_transfer(co, value, Transfer::Value);
    return resume_body(co, presult);
}

PySendResult resume_with_exception(CoroutineObject* co, PyObject** presult) noexcept {
    set_transfer(co, PyErr_GetRaisedException(), Transfer::Exception);
    return resume_body(co, presult);
}

// Ends a coroutine that has not started, with the pending exception.
PySendResult fail_unstarted(CoroutineObject* co, PyObject** presult) noexcept {
    co->state = State::Finished;
    destroy_body(co);
    co->line = function_of(co)->info->line;
    add_body_traceback(co);
    *presult = nullptr;
    return PYGEN_ERROR;
}

bool refuse_resumption(CoroutineObject* co, bool closing) noexcept {
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

PySendResult send_ex(CoroutineObject* co, PyObject* value, PyObject** presult) noexcept {
    *presult = nullptr;
    if (co->state == State::Created && value != Py_None && !co->running) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        co->state = State::Finished;
        destroy_body(co);
        return PYGEN_ERROR;
    }
    if (refuse_resumption(co, false)) return PYGEN_ERROR;
    Depth depth;
    if (!depth) return end_at_depth_limit(co, presult);
    Running running(co);
    ExceptionContext context(co);
    if (current_await(co) == nullptr) {
        // A first resumption hands nothing in.
        if (co->state == State::Created) return resume_body(co, presult);
        return resume_with_value(co, Py_NewRef(Py_None), presult);
    }
    PyObject* result = nullptr;
    switch (PyIter_Send(awaiting(co), value, &result)) {
        case PYGEN_NEXT:
            *presult = result;
            return PYGEN_NEXT;
        case PYGEN_RETURN:
            Py_CLEAR(awaiting(co));
            return resume_with_value(co, result, presult);
        case PYGEN_ERROR:
            break;
    }
    Py_CLEAR(awaiting(co));
    return resume_with_exception(co, presult);
}

// Closes an awaited iterator as `yield from` does; -1 with an exception set
// if its close() raised.
int close_iterator(PyObject* iterator) noexcept;

PySendResult throw_ex(CoroutineObject* co, PyObject* type, PyObject* value, PyObject* traceback,
                      PyObject** presult) noexcept;

PyObject* coroutine_close_impl(CoroutineObject* co) noexcept {
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
    Depth depth;
    if (!depth) {
        PyObject* unused;
        end_at_depth_limit(co, &unused);
        return nullptr;
    }
    PyObject* result = nullptr;
    PySendResult status;
    {
        Running running(co);
        ExceptionContext context(co);
        int error = 0;
        if (current_await(co)) {
            error = close_iterator(awaiting(co));
            Py_CLEAR(awaiting(co));
        }
        if (error == 0) PyErr_SetNone(PyExc_GeneratorExit);
        context.chain_thrown();
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

int close_iterator(PyObject* iterator) noexcept {
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

// Resumes a suspended body at its await with the pending exception. As in the
// interpreter's own await, a StopIteration arriving there ends the await with
// its value instead of raising.
PySendResult resume_at_await(CoroutineObject* co, PyObject** presult) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return resume_with_exception(co, presult);
    PyObject* stop = PyErr_GetRaisedException();
    PyObject* value = Py_NewRef(reinterpret_cast<PyStopIterationObject*>(stop)->value);
    Py_DECREF(stop);
    return resume_with_value(co, value, presult);
}

PySendResult throw_into_body(CoroutineObject* co, PyObject* type, PyObject* value, PyObject* traceback,
                             PyObject** presult) noexcept {
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
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", type,
                         Py_TYPE(exception.get()));
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
    context.chain_thrown();
    return resume_at_await(co, presult);
}

PySendResult throw_ex(CoroutineObject* co, PyObject* type, PyObject* value, PyObject* traceback,
                      PyObject** presult) noexcept {
    *presult = nullptr;
    Depth depth;
    if (!depth) return co->running ? PYGEN_ERROR : end_at_depth_limit(co, presult);
    PyObject* iterator = current_await(co);
    if (iterator == nullptr || co->running) return throw_into_body(co, type, value, traceback, presult);
    // Held across the close or throw below, which run Python code.
    Ref awaited = borrow(iterator);
    if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
        int error;
        {
            Running running(co);
            error = close_iterator(iterator);
        }
        Py_CLEAR(awaiting(co));
        if (error < 0) {
            Running running(co);
            ExceptionContext context(co);
            context.chain_thrown();
            return resume_at_await(co, presult);
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
                Py_CLEAR(awaiting(co));
                goto into_body;
            }
        }
        if (status == PYGEN_NEXT) {
            *presult = result;
            return PYGEN_NEXT;
        }
        Py_CLEAR(awaiting(co));
        if (status == PYGEN_RETURN) return resume_with_value(co, result, presult);
        context.chain_thrown();
        return resume_with_exception(co, presult);
    }
into_body:
    return throw_into_body(co, type, value, traceback, presult);
}

// --- Python-visible methods ------------------------------------------------

PyObject* result_of_send(PySendResult status, PyObject* result) noexcept {
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

PyObject* coroutine_send(PyObject* self, PyObject* value) noexcept {
    PyObject* result = nullptr;
    PySendResult status = send_ex(as_coroutine(self), value, &result);
    return result_of_send(status, result);
}

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** presult) noexcept {
    return send_ex(as_coroutine(self), value, presult);
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
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
    PySendResult status =
        throw_ex(as_coroutine(self), args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr, &result);
    return result_of_send(status, result);
}

PyObject* coroutine_close(PyObject* self, PyObject*) noexcept { return coroutine_close_impl(as_coroutine(self)); }

PyObject* refuse_pickle(PyObject* self, PyObject*) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyObject* new_iterator(PyObject* coroutine) noexcept;

// `await` from the interpreter comes here: a coroutine suspended in an await
// of its own is being driven by another awaiter, which a second one would
// contend with (and cancelling the second would cancel the first's wait).
PyObject* coroutine_await(PyObject* self) noexcept {
    auto* co = as_coroutine(self);
    if (!co->running && current_await(co) != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return new_iterator(self);
}

void coroutine_finalize(PyObject* self) noexcept {
    auto* co = as_coroutine(self);
    if (co->state == State::Finished) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (co->state == State::Created) {
        co->state = State::Finished;
        destroy_body(co);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", name_item(co, 1)) < 0)
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

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* co = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(co->names);
    Py_VISIT(current_await(co));
    Py_VISIT(co->transfer);
    if (co->names) {
        Ref* slots = slots_of(co);
        for (int i = 0, n = slot_count(co); i < n; ++i) Py_VISIT(slots[i].get());
    }
    return 0;
}

int coroutine_clear(PyObject* self) noexcept {
    auto* co = as_coroutine(self);
    if (co->running) return 0;
    destroy_body(co);
    co->state = State::Finished;
    PyObject* transfer = take_transfer(co);
    Py_XDECREF(transfer);
    if (co->names) {
        Ref* slots = slots_of(co);
        for (int i = 0, n = slot_count(co); i < n; ++i) slots[i].reset();
    }
    return 0;
}

void coroutine_dealloc(PyObject* self) noexcept {
    auto* co = as_coroutine(self);
    // A finished coroutine has nothing left to finalize. The collector keeps
    // tracking the object while its finalizer runs, as for generators: one
    // that the finalizer resurrects (an unraisable hook keeping it) must stay
    // collectable.
    if (co->state != State::Finished && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    if (co->weakrefs) PyObject_ClearWeakRefs(self);
    coroutine_clear(self);
    // The memory is kept for the function's next coroutine, unless the
    // collector has marked it finalized (a new object must not inherit that).
    PyObject* function = Py_NewRef(reinterpret_cast<PyObject*>(function_of(co)));
    Py_CLEAR(co->names);
    FunctionInfo& info = *reinterpret_cast<FunctionObject*>(function)->info;
    if (info.nfree < FunctionInfo::kFreeCoroutines && !PyObject_GC_IsFinalized(self)) {
        info.free_coroutines[info.nfree++] = self;
    } else {
        PyObject_GC_Del(self);
    }
    Py_DECREF(function);
}

PyObject* coroutine_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", name_item(as_coroutine(self), 1), self);
}

// Replaces one item of the coroutine's names tuple (the tuple may be shared
// with the function, so a new one is made).
int set_name_item(CoroutineObject* co, int index, PyObject* value) noexcept {
    Py_ssize_t size = PyTuple_GET_SIZE(co->names);
    PyObject* names = PyTuple_New(size);
    if (names == nullptr) return -1;
    for (Py_ssize_t i = 0; i < size; ++i)
        PyTuple_SET_ITEM(names, i, Py_NewRef(i == index ? value : PyTuple_GET_ITEM(co->names, i)));
    Py_SETREF(co->names, names);
    return 0;
}

int set_name_field(CoroutineObject* co, int index, PyObject* value, const char* message) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    return set_name_item(co, index, value);
}

PyObject* get_frame(PyObject* self, void*) noexcept {
    auto* co = as_coroutine(self);
    // A finished coroutine has no frame, as for native ones: inspect tells
    // CORO_CLOSED from CORO_CREATED by that alone.
    if (co->state == State::Finished) Py_RETURN_NONE;
    if (PyTuple_GET_SIZE(co->names) < 5) {
        PyObject* code = function_of(co)->code;
        if (code == nullptr) Py_RETURN_NONE;
        PyObject* globals = PyDict_New();
        if (globals == nullptr) return nullptr;
        PyObject* frame = reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
        Py_DECREF(globals);
        if (frame == nullptr) return nullptr;
        // Kept as a fifth item of the names, which few coroutines need.
        PyObject* names =
            PyTuple_Pack(5, name_item(co, 0), name_item(co, 1), name_item(co, 2), name_item(co, 3), frame);
        Py_DECREF(frame);
        if (names == nullptr) return nullptr;
        Py_SETREF(co->names, names);
    }
    return Py_NewRef(name_item(co, 4));
}

// cr_await: what the suspended body waits at. A running coroutine awaits
// nothing, as a native one, even while a resumption is forwarded into it.
PyObject* awaited_or_none(CoroutineObject* co) noexcept {
    PyObject* iterator = co->running ? nullptr : current_await(co);
    return iterator ? iterator : Py_None;
}

PyObject* code_or_none(CoroutineObject* co) noexcept {
    PyObject* code = function_of(co)->code;
    return code ? code : Py_None;
}

PyObject* coroutine_sizeof(PyObject* self, PyObject*) noexcept {
    auto* co = as_coroutine(self);
    return PyLong_FromSize_t(co->slots_offset + slot_count(co) * sizeof(Ref));
}

#define COROUTINE_NAME(index) \
    [](PyObject* self, void*) noexcept -> PyObject* { return Py_NewRef(name_item(as_coroutine(self), index)); }

PyGetSetDef coroutine_getset[] = {
    {"__name__", COROUTINE_NAME(0),
     [](PyObject* self, PyObject* value, void*) noexcept {
         return set_name_field(as_coroutine(self), 0, value, "__name__ must be set to a string object");
     },
     nullptr, nullptr},
    {"__qualname__", COROUTINE_NAME(1),
     [](PyObject* self, PyObject* value, void*) noexcept {
         return set_name_field(as_coroutine(self), 1, value, "__qualname__ must be set to a string object");
     },
     nullptr, nullptr},
    {"__module__", COROUTINE_NAME(2),
     [](PyObject* self, PyObject* value, void*) noexcept {
         return set_name_item(as_coroutine(self), 2, value ? value : Py_None);
     },
     nullptr, nullptr},
    {"cr_await", [](PyObject* self, void*) noexcept { return Py_NewRef(awaited_or_none(as_coroutine(self))); }, nullptr,
     nullptr, nullptr},
    {"cr_code", [](PyObject* self, void*) noexcept { return Py_NewRef(code_or_none(as_coroutine(self))); }, nullptr,
     nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    // True exactly while the body waits at an await (inspect's
    // CORO_SUSPENDED); forwarding into what it awaits is running.
    {"cr_suspended",
     [](PyObject* self, void*) noexcept -> PyObject* {
         auto* co = as_coroutine(self);
         return PyBool_FromLong(co->state == State::Suspended && !co->running);
     },
     nullptr, nullptr, nullptr},
    {"cr_running",
     [](PyObject* self, void*) noexcept -> PyObject* { return PyBool_FromLong(as_coroutine(self)->running); }, nullptr,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// send, throw, close and the refusal to pickle, for a coroutine and for its
// iterator; `produced` is the word their docs use for what send returns.
// clang-format off
#define PROTOCOL_METHODS(send, throw_, close, produced)                                                         \
    {"send", send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next " produced                      \
                           " value or raise StopIteration."},                                                   \
        {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_FASTCALL,          \
         "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next " produced                         \
         " value or raise StopIteration."},                                                                     \
        {"close", close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},                     \
        {"__reduce__", refuse_pickle, METH_NOARGS, nullptr}, {"__reduce_ex__", refuse_pickle, METH_O, nullptr}
// clang-format on

PyMethodDef coroutine_methods[] = {
    PROTOCOL_METHODS(coroutine_send, coroutine_throw, coroutine_close, "yielded"),
    {"__sizeof__", coroutine_sizeof, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr, coroutine_am_send};

PyTypeObject coroutine_type = [] {
    PyTypeObject type = gc_type("frame_coroutine", sizeof(CoroutineObject), Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                coroutine_dealloc, coroutine_traverse, coroutine_clear);
    type.tp_as_async = &coroutine_async;
    type.tp_repr = coroutine_repr;
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

PyObject* iterator_coroutine(PyObject* self) noexcept { return reinterpret_cast<IteratorObject*>(self)->coroutine; }

PyObject* new_iterator(PyObject* coroutine) noexcept {
    auto* iterator = PyObject_GC_New(IteratorObject, types().coroutine_iterator);
    if (iterator == nullptr) return nullptr;
    iterator->coroutine = Py_NewRef(coroutine);
    PyObject_GC_Track(iterator);
    return reinterpret_cast<PyObject*>(iterator);
}

PyObject* iterator_next(PyObject* self) noexcept {
    PyObject* result = nullptr;
    PySendResult status = send_ex(as_coroutine(iterator_coroutine(self)), Py_None, &result);
    return result_of_send(status, result);
}

PyObject* iterator_send(PyObject* self, PyObject* value) noexcept {
    return coroutine_send(iterator_coroutine(self), value);
}
PyObject* iterator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return coroutine_throw(iterator_coroutine(self), args, nargs);
}
PyObject* iterator_close(PyObject* self, PyObject*) noexcept {
    return coroutine_close(iterator_coroutine(self), nullptr);
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(iterator_coroutine(self));
    return 0;
}

int iterator_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<IteratorObject*>(self)->coroutine);
    return 0;
}

void iterator_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    iterator_clear(self);
    PyObject_GC_Del(self);
}

PyObject* iterator_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot instantiate type, use 'await coroutine' instead");
    return nullptr;
}

PyMethodDef iterator_methods[] = {
    PROTOCOL_METHODS(iterator_send, iterator_throw, iterator_close, "iterated"),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject iterator_type = [] {
    PyTypeObject type = gc_type("frame_coroutine_iterator", sizeof(IteratorObject), 0, iterator_dealloc,
                                iterator_traverse, iterator_clear);
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = iterator_next;
    type.tp_methods = iterator_methods;
    type.tp_new = iterator_new;
    return type;
}();

}  // namespace

PyTypeObject* coroutine_type_object() { return &coroutine_type; }
PyTypeObject* coroutine_iterator_type_object() { return &iterator_type; }

namespace {

// Thrown by allocate_body when the object has no room for the body's frame:
// the first call of each async function learns the frame's size this way.
struct BodyDoesNotFit {
    std::size_t size;
};

// A zeroed stand-in for a coroutine object, with no room for a body.
struct Probe : CoroutineObject {
    Probe() noexcept : CoroutineObject() {}
};

}  // namespace

PyObject* new_coroutine(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs) noexcept {
    FunctionInfo& info = *function->info;
    PyObject* names = coroutine_names(function);
    if (names == nullptr) return nullptr;
    if (info.body_size == 0) {
        Probe probe;
        try {
            info.async_body(probe).release();
        } catch (const BodyDoesNotFit& fit) {
            info.body_size = fit.size;
        } catch (...) {
            translate_exception();
            return nullptr;
        }
    }
    std::size_t slots_offset = kBodyOffset + round_up(info.body_size, sizeof(Ref));
    std::size_t extra = slots_offset - kBodyOffset + info.nslots * sizeof(Ref);
    CoroutineObject* co;
    if (info.nfree > 0) {
        PyObject* memory = info.free_coroutines[--info.nfree];
        std::memset(reinterpret_cast<char*>(memory) + sizeof(PyObject), 0, kBodyOffset - sizeof(PyObject) + extra);
        co = reinterpret_cast<CoroutineObject*>(PyObject_Init(memory, types().coroutine));
    } else {
        co = reinterpret_cast<CoroutineObject*>(PyUnstable_Object_GC_NewWithExtraData(types().coroutine, extra));
        if (co == nullptr) return nullptr;
    }
    // The fields after the header, the body's frame and the slots are zero.
    co->names = Py_NewRef(names);
    co->line = info.line;
    co->slots_offset = static_cast<std::uint16_t>(slots_offset);
    co->state = State::Created;
    Ref* slots = slots_of(co);
    Py_ssize_t nbound = nargs < info.nslots ? nargs : info.nslots;
    for (Py_ssize_t i = 0; i < nbound; ++i) slots[i] = borrow(args[i]);
    try {
        // The body does not start: its frame is only made, inside the object.
        info.async_body(*co).release();
        co->body_alive = true;
    } catch (...) {
        translate_exception();
        co->state = State::Finished;
        Py_DECREF(reinterpret_cast<PyObject*>(co));
        return nullptr;
    }
    PyObject_GC_Track(co);
    return reinterpret_cast<PyObject*>(co);
}

void release_free_coroutines(FunctionInfo& info) noexcept {
    while (info.nfree > 0) PyObject_GC_Del(info.free_coroutines[--info.nfree]);
}

PyObject* coroutine_names(FunctionObject* function) noexcept {
    if (function->coroutine_names == nullptr)
        function->coroutine_names = PyTuple_Pack(4, function->name, function->qualname,
                                                 function->module ? function->module : Py_None, function);
    return function->coroutine_names;
}

// --- the body's side -----------------------------------------------------------

namespace detail {

void* allocate_body(std::size_t size, CoroutineCall& call) {
    auto& co = static_cast<CoroutineObject&>(call);
    std::size_t room = co.slots_offset > kBodyOffset ? co.slots_offset - kBodyOffset : 0;
    if (size > room) throw BodyDoesNotFit{size};
    return reinterpret_cast<char*>(&co) + kBodyOffset;
}

void body_returned(BodyPromise& promise, Ref value) noexcept {
    void* body = Task::Handle::from_promise(static_cast<Task::promise_type&>(promise)).address();
    set_transfer(object_of_body(body), value.release(), Transfer::Value);
}

void body_raised(BodyPromise& promise) noexcept {
    translate_exception();
    void* body = Task::Handle::from_promise(static_cast<Task::promise_type&>(promise)).address();
    set_transfer(object_of_body(body), PyErr_GetRaisedException(), Transfer::Exception);
}

}  // namespace detail

CoroutineCall& Task::promise_type::call() noexcept { return *object_of_body(Handle::from_promise(*this).address()); }

bool Awaiting::suspend(CoroutineCall& call, detail::BodyPromise& promise) {
    auto* co = static_cast<CoroutineObject*>(&call);
    Ref awaitable = steal(reinterpret_cast<PyObject*>(word_));
    word_ = reinterpret_cast<std::uintptr_t>(co) | kCoroutine;
    Ref iterator = awaitable_iterator(awaitable.get());
    // From here the coroutine object holds what it awaits, where the
    // collector can see it; the awaiter keeps nothing across the suspension.
    awaitable.reset();
    PyObject* result = nullptr;
    switch (PyIter_Send(iterator.get(), Py_None, &result)) {
        case PYGEN_RETURN:
            // Finished without suspending: the body goes straight on.
            set_transfer(co, result, Transfer::Value);
            return false;
        case PYGEN_NEXT:
            promise.awaiting = iterator.release();
            set_transfer(co, result, Transfer::Value);
            return true;
        case PYGEN_ERROR:
            break;
    }
    raise_current();
}

Ref Awaiting::await_resume() {
    auto* co = reinterpret_cast<CoroutineObject*>(word_ & ~kCoroutine);
    bool is_exception = co->transfer_kind == Transfer::Exception;
    PyObject* value = take_transfer(co);
    if (is_exception) {
        PyErr_SetRaisedException(value);
        raise_current();
    }
    return value ? steal(value) : new_none();
}

namespace {
CoroutineObject* object_of(const CoroutineCall* call) noexcept {
    return const_cast<CoroutineObject*>(static_cast<const CoroutineObject*>(call));
}
}  // namespace

Ref& CoroutineCall::operator[](int index) const noexcept { return slots_of(object_of(this))[index]; }
void CoroutineCall::at(int line) noexcept { object_of(this)->line = line; }
int CoroutineCall::line() const noexcept { return object_of(this)->line; }
Ref CoroutineCall::global(PyObject* name) const { return lookup_global(function_of(object_of(this))->globals, name); }
PyObject* CoroutineCall::defining_class() const { return defining_class_of(function_of(object_of(this))); }

void add_body_traceback(const CoroutineCall& call) noexcept { add_body_traceback(object_of(&call)); }
void body_entry_given(CoroutineCall& call) noexcept { object_of(&call)->body_entry_given = true; }
bool take_body_entry(CoroutineCall& call) noexcept {
    CoroutineObject* co = object_of(&call);
    bool given = co->body_entry_given;
    co->body_entry_given = false;
    return given;
}

// --- nested coroutines ----------------------------------------------------------

namespace detail {

std::coroutine_handle<> Nested::start(CoroutineCall& call, BodyPromise& parent,
                                      std::coroutine_handle<> handle) noexcept {
    promise_->owner = &call;
    promise_->parent_promise = &parent;
    promise_->parent = handle;
    body_of(object_of(&call)).promise().awaiting = tagged(promise_);
    return promise_->self;
}

std::coroutine_handle<> NestedPromise::ended(NestedPromise& nested) noexcept {
    BodyPromise& body = body_of(object_of(nested.owner)).promise();
    BodyPromise* parent = nested.parent_promise;
    body.awaiting = parent == &body ? nullptr : tagged(static_cast<NestedPromise*>(parent));
    return nested.parent;
}

}  // namespace detail

}  // namespace frame
