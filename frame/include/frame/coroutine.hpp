// `async def` bodies: C++20 coroutines driven by a Python-visible coroutine
// object, which forwards send/throw/close to whatever the body awaits.
#pragma once

#include <coroutine>
#include <cstdint>
#include <new>

#include "frame/function.hpp"

namespace frame {

struct CoroutineObject;
class CoroutineCall;
class Task;

namespace detail {
struct BodyPromise;
// The promise's side of the coroutine object (coroutine.cpp).
void* allocate_body(std::size_t size, CoroutineCall& call);
void body_returned(BodyPromise& promise, Ref value) noexcept;
void body_raised(BodyPromise& promise) noexcept;

struct BodyPromise {
    // The iterator the suspended body awaits (cr_await).
    PyObject* awaiting = nullptr;
};
}  // namespace detail

// The C++ side of one `async def` call. Its frame is placed inside the
// coroutine object that drives it (one allocation from the interpreter's
// allocator per call), and its result or exception goes straight to that
// object. The coroutine object takes the frame at once and destroys it.
class Task {
public:
    struct promise_type : detail::BodyPromise {
        explicit promise_type(CoroutineCall&) noexcept {}
        Task get_return_object() noexcept { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref value) noexcept { detail::body_returned(*this, std::move(value)); }
        void unhandled_exception() noexcept { detail::body_raised(*this); }

        static void* operator new(std::size_t size, CoroutineCall& call) { return detail::allocate_body(size, call); }
        // The memory belongs to the coroutine object.
        static void operator delete(void*) noexcept {}
    };
    using Handle = std::coroutine_handle<promise_type>;

    explicit Task(Handle handle) noexcept : handle_(handle) {}
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task(const Task&) = delete;
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    Handle handle_;
};

// `await value` inside a body. The awaiter holds its own reference to the
// awaitable only until the coroutine object holds the iterator it drives, so
// that nothing the collector cannot see stays alive across the suspension.
// It is one word, as it sits in the body's frame for each await.
class Awaiting {
public:
    explicit Awaiting(PyObject* awaitable) noexcept : word_(reinterpret_cast<std::uintptr_t>(awaitable)) {}
    Awaiting(const Awaiting&) = delete;
    ~Awaiting() {
        if (!(word_ & kCoroutine)) Py_XDECREF(reinterpret_cast<PyObject*>(word_));
    }
    bool await_ready() const noexcept { return false; }
    // Starts the awaitable; false when it finished at once (the body goes on).
    bool await_suspend(Task::Handle body);
    Ref await_resume();

private:
    static constexpr std::uintptr_t kCoroutine = 1;
    // The awaitable (owned) until await_suspend takes it; from then on the
    // coroutine object's address, tagged with kCoroutine.
    std::uintptr_t word_;
};

// The slots of an async def, named once as the Python names them: its
// parameters, then its locals. The body reads them through `using enum
// Name::Slot`; the FunctionDef takes `.slots = Name::names`, from which its
// co_varnames are made and which must start with its parameters. Enum and
// names come from the same tokens, so they cannot disagree.
#define FRAME_SLOTS(scope, ...)                                   \
    struct scope {                                                \
        enum Slot : int { __VA_ARGS__ };                          \
        static constexpr const char* names = #__VA_ARGS__;        \
        static constexpr int count = ::frame::count_names(names); \
    }

constexpr int count_names(const char* names) {
    int count = 1;
    for (const char* p = names; *p; ++p) count += *p == ',';
    return count;
}

// A running call of an async function: the coroutine object itself, seen from
// its body. Its slots hold the arguments and the locals that live across an
// await; the object also keeps the current source line.
class CoroutineCall {
public:
    CoroutineCall(const CoroutineCall&) = delete;
    CoroutineCall& operator=(const CoroutineCall&) = delete;

    // Slot i: the i-th parameter, then the declared locals.
    Ref& operator[](int index) const noexcept;
    void at(int line) noexcept;
    int line() const noexcept;
    Ref global(PyObject* name) const;
    // The module dict of the function (for add_traceback).
    PyObject* globals() const noexcept;
    PyObject* defining_class() const;

    // co_await c.await_(awaitable)
    // A temporary awaitable is moved into the awaiter, which lets go of it
    // once the coroutine object holds its iterator.
    Awaiting await_(Obj awaitable) const noexcept { return Awaiting(Py_NewRef(awaitable.get())); }
    Awaiting await_(Ref&& awaitable) const noexcept { return Awaiting(awaitable.release()); }

protected:
    CoroutineCall() = default;
};

// async with manager as target:
//     block
// in a body, on the current line:
//     AsyncWith statement(c, with_);
//     c[target] = co_await statement.enter(manager);
//     try {
//         block   (a `return value` in it is statement.returns(value))
//     } catch (...) {
//         statement.intercept();
//     }
//     co_return co_await statement.exit();
// intercept() gives the exception the function's traceback entry where it was
// raised and keeps it. exit() awaits __aexit__ with it (inside the
// statement's exception handler) or with three Nones, raises it again unless
// __aexit__ swallowed it, and gives what the block returned: None when the
// block ran to its end or its exception was swallowed. What the statement
// keeps across its awaits sits in the slots of the name given (`with_`: a
// FRAME_SLOTS name ending in `_`, after the Python names, is the frame's own
// and stands for kSlots slots), where the collector sees it.
class AsyncWith {
public:
    AsyncWith(CoroutineCall& c, int slot) noexcept : call_(c), line_(c.line()), slot_(slot) {}
    AsyncWith(const AsyncWith&) = delete;
    AsyncWith& operator=(const AsyncWith&) = delete;

    Awaiting enter(Obj manager);
    void returns(Ref value) noexcept { item(kValue) = std::move(value); }
    // Only inside a catch handler.
    void intercept() noexcept;

    class Exit {
    public:
        explicit Exit(AsyncWith& statement);
        ~Exit() { statement_.leave_handler(); }
        Exit(const Exit&) = delete;
        bool await_ready() const noexcept { return false; }
        bool await_suspend(Task::Handle body) { return awaiting_.await_suspend(body); }
        Ref await_resume();

    private:
        AsyncWith& statement_;
        Awaiting awaiting_;
    };
    Exit exit() { return Exit(*this); }

    // The slots a frame-owned slot name stands for.
    static constexpr int kSlots = 4;

private:
    enum Item { kExit, kException, kSaved, kValue };
    Ref& item(Item which) const noexcept { return call_[slot_ + which]; }
    PyObject* call_exit_method();
    void leave_handler() noexcept;

    CoroutineCall& call_;
    int line_;
    int slot_;
    bool handling_ = false;
};

}  // namespace frame
