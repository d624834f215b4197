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
struct BodyPromise {
    // The iterator the suspended body awaits (cr_await). While the body runs
    // a nested coroutine, its own promise holds the innermost one's promise
    // instead (tagged, coroutine.cpp), whose `awaiting` this is.
    PyObject* awaiting = nullptr;
};

// The promise's side of the coroutine object (coroutine.cpp).
void* allocate_body(std::size_t size, CoroutineCall& call);
void body_returned(BodyPromise& promise, Ref value) noexcept;
void body_raised(BodyPromise& promise) noexcept;
}  // namespace detail

// The C++ side of one `async def` call. Its frame is placed inside the
// coroutine object that drives it (one allocation from the interpreter's
// allocator per call), and its result or exception goes straight to that
// object. The coroutine object takes the frame at once and destroys it.
class Task {
public:
    struct promise_type : detail::BodyPromise {
        explicit promise_type(CoroutineCall&) noexcept {}
        CoroutineCall& call() noexcept;
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
    template <class Promise>
    bool await_suspend(std::coroutine_handle<Promise> awaiting) {
        return suspend(awaiting.promise().call(), awaiting.promise());
    }
    Ref await_resume();

private:
    bool suspend(CoroutineCall& call, detail::BodyPromise& promise);

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
    PyObject* defining_class() const;

    // co_await c.await_(awaitable)
    // A temporary awaitable is moved into the awaiter, which lets go of it
    // once the coroutine object holds its iterator.
    Awaiting await_(Obj awaitable) const noexcept { return Awaiting(Py_NewRef(awaitable.get())); }
    Awaiting await_(Ref&& awaitable) const noexcept { return Awaiting(awaitable.release()); }

protected:
    CoroutineCall() = default;
};

namespace detail {
// A coroutine that a body runs nested in itself: the block of an `async
// with` and the statement that runs it (statements.hpp). Its frame comes from
// the interpreter's allocator; awaiting it runs it as part of the awaiting
// coroutine, which it resumes when it ends. While it is suspended the
// coroutine object resumes it directly.
struct NestedPromise : BodyPromise {
    CoroutineCall* owner = nullptr;
    BodyPromise* parent_promise = nullptr;
    std::coroutine_handle<> parent;
    std::coroutine_handle<> self;

    CoroutineCall& call() const noexcept { return *owner; }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct Ended {
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<>) const noexcept { return ended(promise); }
        void await_resume() const noexcept {}
        NestedPromise& promise;
    };
    Ended final_suspend() noexcept { return {*this}; }

    static void* operator new(std::size_t size) noexcept { return PyMem_Malloc(size); }
    static void operator delete(void* frame) noexcept { PyMem_Free(frame); }

    // Gives back to the awaiting coroutine; the handle to resume.
    static std::coroutine_handle<> ended(NestedPromise& promise) noexcept;
};

// Owns a nested coroutine's frame (none when it could not be allocated).
class Nested {
public:
    explicit Nested(NestedPromise* promise) noexcept : promise_(promise) {}
    Nested(Nested&& other) noexcept : promise_(std::exchange(other.promise_, nullptr)) {}
    Nested(const Nested&) = delete;
    ~Nested() {
        if (promise_) promise_->self.destroy();
    }

    bool allocated() const noexcept { return promise_ != nullptr; }
    bool await_ready() const noexcept { return promise_ == nullptr; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> awaiting) noexcept {
        return start(awaiting.promise().call(), awaiting.promise(), awaiting);
    }
    void await_resume() const noexcept {}

protected:
    std::coroutine_handle<> start(CoroutineCall& call, BodyPromise& parent, std::coroutine_handle<> handle) noexcept;
    NestedPromise* promise_;
};
}  // namespace detail

}  // namespace frame
