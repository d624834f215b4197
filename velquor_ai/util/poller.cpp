// velquor_ai.util.poller: waiting for a final status with exponential backoff.
// The bodies of poller.py, at its lines; its declarations are generated from
// it.
#include <frame/frame.hpp>

#include "poller.declarations.hpp"

using namespace frame;

namespace {

Ref init(Call& c) {
    Obj self = c.arg(0);
    Obj config = c.arg(1);
    c.at(22);
    setattr(self, FRAME_STR("config"), config);
    return new_none();
}

Ref loop_time(CoroutineCall& c) {
    Ref loop = call_method(c.global(FRAME_STR("asyncio")), FRAME_STR("get_event_loop"));
    return call_method(loop, FRAME_STR("time"));
}

Task poll_until_complete(CoroutineCall& c) {
    using enum poll_until_complete_slots::Slot;
    c.at(46);
    c[start_time] = loop_time(c);
    c.at(47);
    c[current_interval] = c[interval];
    for (;;) {
        c.at(50);
        c[elapsed] = subtract(loop_time(c), c[start_time]);
        c.at(52);
        if (greater(c[elapsed], c[timeout])) {
            c.at(53);
            raise(call(c.global(FRAME_STR("SDKTimeoutError")),
                       {join({FRAME_STR("Operation timed out after "), format(c[timeout]), FRAME_STR("s")})}));
        }
        c.at(55);
        c[status] = co_await c.await_(call(c[check_fn]));
        c.at(57);
        if (truthy(c[on_progress])) {
            c.at(58);
            call(c[on_progress], {c[status]});
        }
        c.at(60);
        if (hasattr(c[status], FRAME_STR("status"))) {
            c.at(61);
            if (equals(getattr(c[status], FRAME_STR("status")), FRAME_STR("completed"))) {
                c.at(62);
                call_method(c.global(FRAME_STR("logger")), FRAME_STR("info"),
                            {FRAME_STR("Task completed successfully")});
                c.at(63);
                co_return c[status];
            }
            c.at(64);
            if (equals(getattr(c[status], FRAME_STR("status")), FRAME_STR("failed"))) {
                c.at(65);
                c[error_msg] = getattr(c[status], FRAME_STR("error"), FRAME_STR("Unknown error"));
                c.at(66);
                raise(call(c.global(FRAME_STR("RuntimeError")),
                           {join({FRAME_STR("Task failed: "), format(c[error_msg])})}));
            }
        }
        c.at(68);
        Ref sleeping = call_method(c.global(FRAME_STR("asyncio")), FRAME_STR("sleep"), {c[current_interval]});
        co_await c.await_(std::move(sleeping));
        c.at(69);
        Ref cap = getattr(getattr(c[self], FRAME_STR("config")), FRAME_STR("max_poll_interval"));
        Ref grown = multiply(c[current_interval], floating(1.5));
        c[current_interval] = int_local(less(cap, grown) ? cap : grown);
        c.at(70);
        call_method(c.global(FRAME_STR("logger")), FRAME_STR("debug"),
                    {join({FRAME_STR("Polling... (next interval: "), format(c[current_interval]), FRAME_STR("s)")})});
    }
}

void status_poller_body(ClassBody& cb) {
    cb.def(init_def);
    cb.def(poll_until_complete_def);
}

void body(ModuleBody& m) {
    m.at(3);
    m.import("asyncio");
    m.at(4);
    m.import("logging");
    m.at(5);
    m.from_import("typing", "typing", 0, {"Any", "Callable", "Optional"});
    m.at(7);
    m.from_import("velquor_ai.config", "config", 2, {"Config"});
    m.at(8);
    m.from_import("velquor_ai.exceptions", "exceptions", 2, {"TimeoutError"}, {"SDKTimeoutError"});
    m.at(10);
    m.assign("logger",
             call_method(m.global(FRAME_STR("logging")), FRAME_STR("getLogger"), {m.global(FRAME_STR("__name__"))}));
    m.class_statement(status_poller_class);
}

}  // namespace
