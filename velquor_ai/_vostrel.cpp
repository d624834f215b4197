// velquor_ai._vostrel: blueprint generation and execution through the local
// (on-premise) client library instead of the remote service.
// The bodies of _vostrel.py, at its lines; its declarations are generated
// from it.
#include <frame/frame.hpp>

#include "_vostrel.declarations.hpp"

using namespace frame;

namespace {

// --- prepare_file_paths ------------------------------------------------------

Ref prepare_file_paths(Call& c) {
    c.at(36);
    Ref file_paths = new_list();
    c.at(37);
    for (Py_ssize_t i = 0; i < c.nvarargs(); ++i) {
        Obj file_list = c.varargs()[i];
        c.at(38);
        if (!truthy(file_list)) continue;
        c.at(40);
        Iterate inputs(file_list);
        while (Ref file_input = inputs.next()) {
            c.at(41);
            if (is_str(file_input)) {
                // str subclasses go through as they are, like plain str.
                c.at(42);
                append(file_paths, file_input);
            } else {
                c.at(43);
                if (hasattr(file_input, FRAME_STR("__fspath__"))) {
                    c.at(44);
                    append(file_paths, to_str(file_input));
                } else {
                    c.at(46);
                    Ref message = join({FRAME_STR("Unsupported file type: "), to_str(type_of(file_input))});
                    raise(call(c.global(FRAME_STR("ValueError")), {message}));
                }
            }
            c.at(40);
        }
        c.at(37);
    }
    c.at(47);
    return file_paths;
}

// --- result builders -----------------------------------------------------------

// datetime.now(timezone.utc).isoformat(), evaluated once per result so that
// created_at and completed_at are one and the same string.
Ref completion_timestamp(const Call& c) {
    Ref now = getattr(c.global(FRAME_STR("datetime")), FRAME_STR("now"));
    Ref utc = getattr(c.global(FRAME_STR("timezone")), FRAME_STR("utc"));
    return call_method(call(now, {utc}), FRAME_STR("isoformat"));
}

Ref create_generation_result(Call& c) {
    Obj blueprint = c.arg(0);
    c.at(59);
    Ref now = completion_timestamp(c);
    c.at(60);
    Ref model = c.global(FRAME_STR("GenerationResult"));
    c.at(62);
    Ref completed = getattr(c.global(FRAME_STR("StatusEnum")), FRAME_STR("COMPLETED"));
    c.at(64);
    Ref result = new_dict();
    set_item(result, FRAME_STR("blueprint"), blueprint);
    c.at(60);
    return call_kw(model, {FRAME_STR("on-premise-generated"), completed, blueprint, result, now, now},
                   FRAME_KWNAMES("generation_id", "status", "blueprint", "result", "created_at", "completed_at"));
}

// Output entries that look like paths: strings holding a slash or a
// backslash; everything else stays reachable through `results` only.
bool is_path_like(Obj item) {
    return is_str(item) && (contains(item, FRAME_STR("/")) || contains(item, FRAME_STR("\\")));
}

Ref create_execution_result(Call& c) {
    Obj result_dict = c.arg(0);
    c.at(80);
    Ref empty = new_list();
    Ref output_list = call_method(result_dict, FRAME_STR("get"), {FRAME_STR("output"), empty});
    c.at(83);
    Ref output_files = new_list();
    Iterate items(output_list);
    while (Ref item = items.next()) {
        c.at(84);
        if (is_path_like(item.get())) append(output_files, item);
        c.at(83);
    }
    c.at(86);
    Ref now = completion_timestamp(c);
    c.at(87);
    Ref model = c.global(FRAME_STR("ExecutionResult"));
    c.at(89);
    Ref completed = getattr(c.global(FRAME_STR("StatusEnum")), FRAME_STR("COMPLETED"));
    c.at(87);
    return call_kw(
        model, {FRAME_STR("on-premise-executed"), completed, result_dict, output_files, none(), now, now},
        FRAME_KWNAMES("execution_id", "status", "results", "output_files", "error", "created_at", "completed_at"));
}

// --- coroutines ------------------------------------------------------------------

Task generate_blueprint_vostrel(CoroutineCall& c) {
    using enum generate_blueprint_vostrel_slots::Slot;
    c.at(115);
    c[input_data] = call(c.global(FRAME_STR("prepare_file_paths")), {c[images], c[videos]});
    c.at(117);
    call_method(c.global(FRAME_STR("logger")), FRAME_STR("info"),
                {FRAME_STR("Generating blueprint via on-premise client...")});
    c.at(118);
    Obj paths = truthy(c[input_data]) ? c[input_data].get() : none();
    Ref generating = call_kw(getattr(c[client], FRAME_STR("generate_blueprint")), {c[prompt], paths},
                             FRAME_KWNAMES("question", "input_data"));
    c[blueprint_str] = co_await c.await_(std::move(generating));
    c.at(121);
    c[validated_blueprint] = call_method(c[client], FRAME_STR("validate_blueprint"), {c[blueprint_str]});
    c.at(123);
    co_return call(c.global(FRAME_STR("create_generation_result")), {c[validated_blueprint]});
}

Task execute_blueprint_vostrel(CoroutineCall& c) {
    using enum execute_blueprint_vostrel_slots::Slot;
    c.at(144);
    c[blueprint_str] = call(c.global(FRAME_STR("normalize_blueprint")), {c[blueprint]});
    c.at(145);
    c[input_data] = call(c.global(FRAME_STR("prepare_file_paths")), {c[input_files]});
    c.at(147);
    if (!truthy(c[input_data])) {
        c.at(148);
        raise(
            call(c.global(FRAME_STR("ValueError")), {FRAME_STR("At least one input file is required for execution")}));
    }
    c.at(150);
    call_method(c.global(FRAME_STR("logger")), FRAME_STR("info"),
                {FRAME_STR("Executing blueprint via on-premise client...")});
    c.at(151);
    Ref executing = call_kw(getattr(c[client], FRAME_STR("execute_blueprint")), {c[blueprint_str], c[input_data]},
                            FRAME_KWNAMES("blueprint", "input_data"));
    c[result_dict] = co_await c.await_(std::move(executing));
    c.at(155);
    co_return call(c.global(FRAME_STR("create_execution_result")), {c[result_dict]});
}

// --- the module body ---------------------------------------------------------------

// try: from velquor_api_client import VelquorAPIClient ... except ImportError
// The library is optional: without it the module still imports and says so.
void import_on_premise_library(ModuleBody& m) {
    try_except(
        PyExc_ImportError,
        [&] {
            m.at(16);
            m.from_import("velquor_api_client", "velquor_api_client", 0, {"VelquorAPIClient"});
            m.at(18);
            m.assign("ON_PREMISE_AVAILABLE", Py_True);
        },
        [&] {
            m.at(20);
            m.assign("ON_PREMISE_AVAILABLE", Py_False);
            m.at(21);
            m.assign("VelquorAPIClient", none());
        });
}

void body(ModuleBody& m) {
    m.at(3);
    m.import("logging");
    m.at(4);
    m.from_import("datetime", "datetime", 0, {"datetime", "timezone"});
    m.at(5);
    m.from_import("typing", "typing", 0, {"Any", "Dict", "List", "Optional"});
    m.at(7);
    m.from_import("velquor_ai.models.blueprint", "models.blueprint", 1, {"GenerationResult"});
    m.at(8);
    m.from_import("velquor_ai.models.common", "models.common", 1, {"StatusEnum"});
    m.at(9);
    m.from_import("velquor_ai.models.execution", "models.execution", 1, {"ExecutionResult"});
    m.at(10);
    m.from_import("velquor_ai.types", "types", 1, {"BlueprintInput", "FileInput"});
    m.at(11);
    m.from_import("velquor_ai.util.helpers", "util.helpers", 1, {"normalize_blueprint"});
    m.at(13);
    m.assign("logger",
             call_method(m.global(FRAME_STR("logging")), FRAME_STR("getLogger"), {m.global(FRAME_STR("__name__"))}));
    import_on_premise_library(m);
    m.def(prepare_file_paths_def);
    m.def(create_generation_result_def);
    m.def(create_execution_result_def);
    m.def(generate_blueprint_vostrel_def);
    m.def(execute_blueprint_vostrel_def);
}

}  // namespace
