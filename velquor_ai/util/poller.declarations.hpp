// Generated from poller.py by tools/declarations.py: do not edit.
// The declarations of velquor_ai.util.poller, read from its Python; poller.cpp
// defines the bodies declared first, and includes this after the frame.
namespace {

frame::Ref init(frame::Call& c);
frame::Task poll_until_complete(frame::CoroutineCall& c);
void status_poller_body(frame::ClassBody& cb);
void body(frame::ModuleBody& m);

FRAME_SLOTS(poll_until_complete_slots, self, check_fn, timeout, interval, on_progress, start_time, current_interval, elapsed, status, error_msg);

const frame::FunctionDef init_def{
    .name = "__init__",
    .line = 16,
    .params =
        {
            {.name = "self"},
            {.name = "config", .annotation = "Config"},
        },
    .returns = "None",
    .doc = R"doc(Initialize status poller.

        Args:
            config: SDK configuration.
        )doc",
    .body = init,
};

const frame::FunctionDef poll_until_complete_def{
    .name = "poll_until_complete",
    .line = 24,
    .params =
        {
            {.name = "self", .line = 25},
            {.name = "check_fn", .annotation = "Callable", .line = 26},
            {.name = "timeout", .annotation = "int", .line = 27, .check = frame::Check::Int},
            {.name = "interval", .annotation = "int", .line = 28, .check = frame::Check::Int},
            {.name = "on_progress", .annotation = "Optional[Callable]", .default_value = frame::Default::none(), .line = 29},
        },
    .returns = "Any",
    .doc = R"doc(Poll status until completion.

        Args:
            check_fn: Async function to check status.
            timeout: Max wait time in seconds.
            interval: Initial poll interval in seconds.
            on_progress: Optional progress callback.

        Returns:
            Final status object.

        Raises:
            SDKTimeoutError: If timeout exceeded.
            RuntimeError: If task failed.
        )doc",
    .async_body = poll_until_complete,
    .slots = poll_until_complete_slots::names,
};

const frame::ClassDef status_poller_class{
    .name = "StatusPoller",
    .line = 13,
    .bases = {},
    .doc = "Smart status polling with exponential backoff.",
    .body = status_poller_body,
};

const frame::ModuleDef poller{"velquor_ai.util.poller", "Status polling utilities.", body};

}  // namespace

FRAME_MODULE(poller, poller)
