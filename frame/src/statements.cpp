// The compound statements of statements.hpp, and the exception ceremony they
// share: special-method lookup for context managers, the exit call, and the
// handled exception (sys.exc_info()) for the extent of a handler.
#include <optional>

#include "frame/statements.hpp"
#include "internal.hpp"

namespace frame {

namespace {

// A special method as the statements find it: looked up on the type, not the
// instance, and bound to the object; empty when the type has none.
// Each dict lookup can run Python code (the __eq__ of a str-subclass key whose
// hash collides with the name), which may assign the object's __class__ or
// the class's __bases__ and so free the type or its MRO: both are held for
// the whole walk, which goes on over the MRO it started with, as the
// interpreter's own lookup does.
Ref lookup_special(Obj object, PyObject* name) {
    Ref type = borrow(type_of(object));
    Ref mro = borrow(reinterpret_cast<PyTypeObject*>(type.get())->tp_mro);
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        Ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
        PyObject* found = nullptr;
        if (!check(PyDict_GetItemRef(dict.get(), name, &found))) continue;
        Ref attribute = steal(found);
        descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
        if (bind == nullptr) return attribute;
        return steal(bind(found, object, type.get()));
    }
    return Ref();
}

// `with manager:` and `async with manager:` up to the enter call: what
// __enter__ returned, or the awaitable of __aenter__; the bound exit method
// is left in `exit`.
Ref enter(Obj manager, Ref& exit, PyObject* enter_name, PyObject* exit_name, const char* protocol) {
    Ref entered = lookup_special(manager, enter_name);
    if (!entered)
        raise_type_error("'%.200s' object does not support the %s protocol", Py_TYPE(manager.get())->tp_name, protocol);
    exit = lookup_special(manager, exit_name);
    if (!exit)
        raise_type_error("'%.200s' object does not support the %s protocol (missed %U method)",
                         Py_TYPE(manager.get())->tp_name, protocol, exit_name);
    return call(entered);
}

// The exit method called as the statements call it: with the type, value and
// traceback of `exception`, or with three Nones when it is null. Called
// inside a HandledException for that exception, as the statements do.
Ref call_exit(Obj exit, PyObject* exception) {
    if (exception == nullptr) return call(exit, {none(), none(), none()});
    // The type is held too: the exit method may assign the exception's
    // __class__ while it runs.
    Ref type = borrow(type_of(exception));
    Ref traceback = Ref::steal_or_null(PyException_GetTraceback(exception));
    return call(exit, {type, exception, traceback ? traceback.get() : none()});
}

// The exception in flight, taken out of the thread state (`except ... as e`).
Ref fetch_exception() {
    Ref exception = Ref::steal_or_null(PyErr_GetRaisedException());
    if (!exception) {
        PyErr_SetString(PyExc_SystemError, "no exception in flight");
        raise_current();
    }
    return exception;
}

// Raises such a value again with its traceback (a bare `raise`).
[[noreturn]] void raise_again(Ref exception) {
    PyErr_SetRaisedException(exception.release());
    raise_current();
}

// The handled exception (sys.exc_info()) for the extent of a handler. A
// handler that awaits keeps the previous value in a slot of its coroutine,
// passed as `saved`, where the collector sees it.
class HandledException {
public:
    explicit HandledException(Obj exception) : HandledException(exception, own_) {}
    HandledException(Obj exception, Ref& saved) : saved_(saved), exception_(exception) {
        saved_ = Ref::steal_or_null(PyErr_GetHandledException());
        PyErr_SetHandledException(exception);
    }
    ~HandledException() {
        // The previous value comes back only while this handler's exception
        // is the current one. It is not when a coroutine body suspended in
        // the handler is destroyed instead of resumed: the thread's state then
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

}  // namespace

Ref with_statement(Call& c, Obj manager, const std::function<Ref(Obj)>& block) {
    int line = c.line();
    Ref exit;
    Ref target = enter(manager, exit, FRAME_STR("__enter__"), FRAME_STR("__exit__"), "context manager");
    Ref result;
    try {
        result = block(target);
    } catch (...) {
        translate_exception();
        int raised_at = c.line();
        Ref pending = fetch_exception();
        bool swallowed;
        {
            // An exception __exit__ raises is chained to this one.
            HandledException handled(pending);
            c.at(line);
            swallowed = truthy(call_exit(exit, pending.get()));
        }
        if (swallowed) return Ref();
        c.at(raised_at);
        raise_again(std::move(pending));
    }
    c.at(line);
    call_exit(exit, nullptr);
    return result;
}

void try_except(PyObject* type, const std::function<void()>& body, const std::function<void()>& handler) {
    try {
        body();
        return;
    } catch (const Error&) {
        if (!PyErr_Occurred() || !PyErr_ExceptionMatches(type)) throw;
    }
    Ref caught = fetch_exception();
    HandledException handling(caught);
    handler();
}

// --- async with ---------------------------------------------------------------

namespace detail {

// One statement: what it holds across its awaits sits in the body's slots
// (kAsyncWithSlots from `slot` on), the rest in the frame of the statement's
// own coroutine.
class AsyncWith {
public:
    enum Item { kExit, kException, kSaved, kValue, kItems };
    static_assert(kItems == kAsyncWithSlots);

    AsyncWith(CoroutineCall& c, int slot) noexcept : call_(c), line_(c.line()), slot_(slot) {}
    AsyncWith(const AsyncWith&) = delete;
    AsyncWith& operator=(const AsyncWith&) = delete;

    // The block, reporting to this statement. One that could not be allocated
    // has raised MemoryError as it starts.
    Block block(const BlockStart& start) noexcept {
        Block block = start();
        if (block.allocated()) {
            block.promise()->statement = this;
        } else {
            PyErr_NoMemory();
            raised();
        }
        return block;
    }
    void returns(Ref value) noexcept { item(kValue) = std::move(value); }
    // The block raised the pending exception: it gets the body's traceback
    // entry where it was raised (unless a statement nested in the block gave
    // it that already), and waits for __aexit__.
    void raised() noexcept {
        raised_at_ = call_.line();
        if (!take_body_entry(call_)) add_body_traceback(call_);
        item(kException) = Ref::steal_or_null(PyErr_GetRaisedException());
    }

    // Awaits __aexit__, and raises the block's exception again unless it
    // swallowed it.
    class Exit {
    public:
        explicit Exit(AsyncWith& statement) : statement_(statement), awaiting_(statement.call_exit_method(handled_)) {}
        Exit(const Exit&) = delete;
        bool await_ready() const noexcept { return false; }
        template <class Promise>
        bool await_suspend(std::coroutine_handle<Promise> statement) {
            return awaiting_.await_suspend(statement);
        }
        void await_resume() {
            Ref outcome = awaiting_.await_resume();
            Ref exception = statement_.item(kException);
            if (!exception) return;
            bool swallowed = truthy(outcome);
            handled_.reset();
            if (!swallowed) statement_.raise_block_exception(std::move(exception));
        }

    private:
        AsyncWith& statement_;
        // The statement's handler, which lasts until the awaitable __aexit__
        // returned is done; made before that call, so that a failing call
        // ends it too.
        std::optional<HandledException> handled_;
        Awaiting awaiting_;
    };
    Exit exit() { return Exit(*this); }

private:
    Ref& item(Item which) const noexcept { return call_[slot_ + which]; }

    // __aexit__ called as the statement calls it; with an exception, inside
    // the statement's handler.
    PyObject* call_exit_method(std::optional<HandledException>& handled) {
        call_.at(line_);
        Ref exit = std::move(item(kExit));
        Ref exception = item(kException);
        if (exception) handled.emplace(exception, item(kSaved));
        return call_exit(exit, exception.get()).release();
    }

    // The block's exception goes on from where it was raised, with the
    // entry it has.
    [[noreturn]] void raise_block_exception(Ref exception) {
        call_.at(raised_at_);
        body_entry_given(call_);
        raise_again(std::move(exception));
    }

    CoroutineCall& call_;
    int line_;
    int raised_at_ = 0;
    int slot_;
};

struct AsyncWithStatement::promise_type : NestedPromise {
    // The slot the block's value waits in.
    int value_slot;

    promise_type(CoroutineCall&, int slot, int, Ref&, BlockStart&) noexcept : value_slot(slot + AsyncWith::kValue) {}
    AsyncWithStatement get_return_object() noexcept {
        self = std::coroutine_handle<promise_type>::from_promise(*this);
        return AsyncWithStatement(this);
    }
    static AsyncWithStatement get_return_object_on_allocation_failure() noexcept { return AsyncWithStatement(nullptr); }
    void return_void() noexcept {}
    // The exception stays pending for the body, which raises it on resuming.
    void unhandled_exception() noexcept {
        translate_exception();
        failed = true;
    }
    bool failed = false;
};

AsyncWithStatement::AsyncWithStatement(promise_type* promise) noexcept : Nested(promise) {}

Ref AsyncWithStatement::await_resume() {
    auto* statement = static_cast<promise_type*>(promise_);
    if (statement->failed) raise_current();
    return std::move(statement->call()[statement->value_slot]);
}

namespace {
AsyncWithStatement run_async_with(CoroutineCall& c, int slot, int target, Ref entering, BlockStart start) {
    AsyncWith statement(c, slot);
    c[target] = co_await c.await_(std::move(entering));
    co_await statement.block(start);
    co_await statement.exit();
}
}  // namespace

AsyncWithStatement async_with(CoroutineCall& c, int slot, Ref& manager, int target, BlockStart block) {
    Ref entering;
    {
        Ref held = std::move(manager);
        entering = enter(held, c[slot + AsyncWith::kExit], FRAME_STR("__aenter__"), FRAME_STR("__aexit__"),
                         "asynchronous context manager");
    }
    AsyncWithStatement statement = run_async_with(c, slot, target, std::move(entering), block);
    if (!statement.allocated()) {
        PyErr_NoMemory();
        raise_current();
    }
    return statement;
}

}  // namespace detail

void Block::promise_type::return_value(Ref value) noexcept { statement->returns(std::move(value)); }

void Block::promise_type::unhandled_exception() noexcept {
    translate_exception();
    statement->raised();
}

}  // namespace frame
