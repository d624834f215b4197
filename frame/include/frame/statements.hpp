// The compound statements of module sources: `with`, `try/except` and `async
// with`. Each keeps its exception as the handled one (sys.exc_info()) while
// its handler runs, as the interpreter does.
#pragma once

#include <functional>

#include "frame/coroutine.hpp"
#include "frame/function.hpp"

namespace frame {

// with manager as target:
//     block
// in a plain body, on the current line: the block gets the target and returns
// the value of a `return` inside it, or an empty Ref when it runs to its end.
// Its exception reaches __exit__ inside the statement's exception handler, on
// the statement's line; when __exit__ swallows it, the statement ends as if
// the block had run to its end, and otherwise it goes on from where it was
// raised.
Ref with_statement(Call& c, Obj manager, const std::function<Ref(Obj target)>& block);

// try: body
// except type: handler
// The handler runs with the exception as the handled one (sys.exc_info());
// an exception of any other type goes on unchanged.
void try_except(PyObject* type, const std::function<void()>& body, const std::function<void()>& handler);

namespace detail {
class AsyncWith;
}  // namespace detail

// The block of an `async with`, written inline where the statement stands as
// a lambda coroutine: `[&]() -> Block { ... }`. It may await; `return value`
// in it is `co_return value`, and a block that runs to its end ends with
// `co_return {}`. Its exception does not leave it: the statement takes it.
// It captures by reference only, as the closure is C++ memory the collector
// does not see.
class Block : public detail::Nested {
public:
    struct promise_type : detail::NestedPromise {
        detail::AsyncWith* statement = nullptr;

        Block get_return_object() noexcept {
            self = std::coroutine_handle<promise_type>::from_promise(*this);
            return Block(this);
        }
        static Block get_return_object_on_allocation_failure() noexcept { return Block(nullptr); }
        void return_value(Ref value) noexcept;
        void unhandled_exception() noexcept;
    };

    promise_type* promise() const noexcept { return static_cast<promise_type*>(promise_); }

private:
    explicit Block(promise_type* promise) noexcept : Nested(promise) {}
};

namespace detail {
// Calls a block's lambda without knowing its type. The lambda is a temporary
// of the body's full expression holding the statement, and so outlives it.
class BlockStart {
public:
    template <class Body>
    explicit BlockStart(const Body& body) noexcept
        : body_(&body), start_([](const void* body) { return (*static_cast<const Body*>(body))(); }) {}
    Block operator()() const { return start_(body_); }

private:
    const void* body_;
    Block (*start_)(const void*);
};

// The statement nested in the body; awaiting it gives what its block
// returned.
class AsyncWithStatement : public Nested {
public:
    struct promise_type;
    explicit AsyncWithStatement(promise_type* promise) noexcept;
    Ref await_resume();
};

AsyncWithStatement async_with(CoroutineCall& c, int slots, Ref& manager, int target, BlockStart block);
}  // namespace detail

// async with manager as target:
//     block
// in a body, on the current line:
//     co_await async_with(c, with_, manager, target, [&]() -> Block {
//         block
//     });
// The statement runs as a coroutine nested in the body, and its block nested
// in it. It awaits __aenter__, puts what that gives in the slot `target`,
// runs the block and awaits __aexit__: with three Nones, or with the block's
// exception inside the statement's exception handler. That exception gets the
// body's traceback entry for the line it was raised on as the block gives it
// up, so that __aexit__ sees the traceback the interpreter would pass, and
// goes on from that line, with no second entry, unless __aexit__ swallowed
// it. The await gives what the block returned, or an empty Ref when the block
// ran to its end or its exception was swallowed, so that `co_return co_await
// async_with(...)` ends a body whose last statement it is. What the statement
// keeps across its awaits sits in the slots of the name given (`with_`: a
// FRAME_SLOTS name ending in `_`, after the Python names, is the frame's
// own), where the collector sees it; a manager given as a temporary is let go
// of before the first await.
template <class Body>
detail::AsyncWithStatement async_with(CoroutineCall& c, int slots, Ref&& manager, int target, const Body& block) {
    return detail::async_with(c, slots, manager, target, detail::BlockStart(block));
}
template <class Body>
detail::AsyncWithStatement async_with(CoroutineCall& c, int slots, Obj manager, int target, const Body& block) {
    Ref held = borrow(manager);
    return detail::async_with(c, slots, held, target, detail::BlockStart(block));
}

}  // namespace frame
