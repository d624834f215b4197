// velquor_ai.resources.generations: creating, starting and reading a
// generation record on the service.
// The bodies of generations.py, at its lines; its declarations are generated
// from it.
#include <frame/frame.hpp>

#include "generations.declarations.hpp"

using namespace frame;

namespace {

Ref init(Call& c) {
    Obj self = c.arg(0);
    c.at(34);
    Ref base = call(c.global(FRAME_STR("super")), {c.defining_class(), self});
    call_method(base, FRAME_STR("__init__"), {c.arg(1)});
    c.at(35);
    setattr(self, FRAME_STR("_uploads"), c.arg(2));
    return new_none();
}

Task create(CoroutineCall& c) {
    using enum create_slots::Slot;
    c.at(49);
    c[body] = new_dict();
    set_item(c[body], FRAME_STR("question"), c[question]);
    c.at(50);
    Ref request = call_kw(getattr(getattr(c[self], FRAME_STR("_http")), FRAME_STR("post")),
                          {FRAME_STR("/v1/generation"), c[body]}, FRAME_KWNAMES("json"));
    c[response] = co_await c.await_(std::move(request));
    c.at(51);
    co_return call_with_dict(c.global(FRAME_STR("GenerationResult")), c[response]);
}

Task get_upload_urls(CoroutineCall& c) {
    using enum get_upload_urls_slots::Slot;
    c.at(66);
    Ref delegated = call_method(getattr(c[self], FRAME_STR("_uploads")), FRAME_STR("get_generation_upload_urls"),
                                {c[generation_id], c[filenames]});
    co_return co_await c.await_(std::move(delegated));
}

// self._http.<method>("/v1/generation/" + generation_id + suffix), not yet awaited.
template <class Slots>
Ref request(CoroutineCall& c, Obj method, Obj suffix) {
    Ref send = getattr(getattr(c[Slots::self], FRAME_STR("_http")), method);
    return call(send, {join({FRAME_STR("/v1/generation/"), format(c[Slots::generation_id]), suffix})});
}

Task start(CoroutineCall& c) {
    using enum start_slots::Slot;
    c.at(80);
    call(c.global(FRAME_STR("validate_generation_id")), {c[generation_id]});
    c.at(82);
    c[response] = co_await c.await_(request<start_slots>(c, FRAME_STR("post"), FRAME_STR("/start")));
    c.at(83);
    co_return call_with_dict(c.global(FRAME_STR("GenerationStatus")), c[response]);
}

Task get_result(CoroutineCall& c) {
    using enum get_result_slots::Slot;
    c.at(97);
    call(c.global(FRAME_STR("validate_generation_id")), {c[generation_id]});
    c.at(99);
    c[response] = co_await c.await_(request<get_result_slots>(c, FRAME_STR("get"), FRAME_STR("/result")));
    c.at(100);
    co_return call_with_dict(c.global(FRAME_STR("GenerationResult")), c[response]);
}

void generations_resource_body(ClassBody& cb) {
    cb.def(init_def);
    cb.def(create_def);
    cb.def(get_upload_urls_def);
    cb.def(start_def);
    cb.def(get_result_def);
}

void body(ModuleBody& m) {
    m.at(3);
    m.import("logging");
    m.at(4);
    m.from_import("typing", "typing", 0, {"TYPE_CHECKING", "Any", "Dict", "List"});
    m.at(6);
    m.from_import("velquor_ai.models.blueprint", "models.blueprint", 2, {"GenerationResult", "GenerationStatus"});
    m.at(7);
    m.from_import("velquor_ai.util.validators", "util.validators", 2, {"validate_generation_id"});
    m.at(8);
    m.from_import("velquor_ai.resources.base", "base", 1, {"BaseResource"});
    m.at(10);
    // Annotation names only: at run time the flag is false and neither module
    // is loaded.
    if (truthy(m.global(FRAME_STR("TYPE_CHECKING")))) {
        m.at(11);
        m.from_import("velquor_ai._http", "_http", 2, {"HTTPClient"});
        m.at(12);
        m.from_import("velquor_ai.resources.uploads", "uploads", 1, {"UploadsResource"});
    }
    m.at(14);
    m.assign("logger",
             call_method(m.global(FRAME_STR("logging")), FRAME_STR("getLogger"), {m.global(FRAME_STR("__name__"))}));
    m.class_statement(generations_resource_class);
}

}  // namespace
