// `async def` bodies: C++20 coroutines driven by a Python-visible coroutine
// object, which forwards send/throw/close to whatever the body awaits.
#pragma once

#include <coroutine>
#include <new>

#include "frame/function.hpp"

namespace frame {

struct CoroutineObject;

// The C++ side of one `async def` call. Its frame is allocated with the
// interpreter's allocator; its result or exception is collected by the
// coroutine object when the body ends.
class Task {
public:
    struct promise_type {
        Ref result;
        PendingException exception{Ref()};
        bool failed = false;

        Task get_return_object() noexcept {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref value) noexcept { result = std::move(value); }
        void unhandled_exception() noexcept;

        static void* operator new(std::size_t size) {
            void* memory = PyMem_Malloc(size);
            if (memory == nullptr) throw std::bad_alloc();
            return memory;
        }
        static void operator delete(void* memory) noexcept { PyMem_Free(memory); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    explicit Task(Handle handle) noexcept : handle_(handle) {}
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task(const Task&) = delete;
    ~Task() {
        if (handle_) handle_.destroy();
    }
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    Handle handle_;
};

// `await value` inside a body.
class Awaiting {
public:
    Awaiting(CoroutineObject* coroutine, Obj awaitable) noexcept
        : coroutine_(coroutine), awaitable_(awaitable.get()) {}
    Awaiting(CoroutineObject* coroutine, Ref&& awaitable) noexcept
        : coroutine_(coroutine), owned_(std::move(awaitable)), awaitable_(owned_.get()) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<>) noexcept {}
    Ref await_resume();

private:
    CoroutineObject* coroutine_;
    Ref owned_;
    PyObject* awaitable_;
    Ref result_;
    bool done_ = false;
};

// A running call of an async function: the per-call scope (arguments and the
// locals that live across an await) and the current source line.
class CoroutineCall {
public:
    explicit CoroutineCall(CoroutineObject* coroutine) noexcept : coroutine_(coroutine) {}

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
    Awaiting await_(Obj awaitable) const noexcept { return Awaiting(coroutine_, awaitable); }
    Awaiting await_(Ref&& awaitable) const noexcept { return Awaiting(coroutine_, std::move(awaitable)); }

private:
    CoroutineObject* coroutine_;
};

bool is_coroutine(PyObject* object) noexcept;

}  // namespace frame
