// velquor_ai.models.blueprint: the pydantic models of a generation's status and
// result. The bodies of blueprint.py, at its lines; its declarations are
// generated from it.
#include <frame/frame.hpp>

#include "blueprint.declarations.hpp"

using namespace frame;

namespace {

// Older service answers carry the blueprint inside `result`; newer ones at the
// top level, which wins when both are present.
Ref extract_blueprint_from_result(Call& c) {
    Obj self = c.arg(0);
    c.at(35);
    if (!truthy(getattr(self, FRAME_STR("blueprint"))) && truthy(getattr(self, FRAME_STR("result"))) &&
        isinstance(getattr(self, FRAME_STR("result")), c.global(FRAME_STR("dict")))) {
        c.at(36);
        Ref result = getattr(self, FRAME_STR("result"));
        Ref blueprint = call_method(result, FRAME_STR("get"), {FRAME_STR("blueprint")});
        setattr(self, FRAME_STR("blueprint"), blueprint);
    }
    c.at(37);
    return borrow(self);
}

void generation_result_body(ClassBody& cb) {
    cb.at(14);
    cb.annotate("generation_id", "str");
    cb.at(15);
    cb.annotate("status", "StatusEnum");
    cb.at(16);
    cb.assign("result", none());
    cb.annotate("result", "Optional[Dict[str, Any]]");
    cb.at(17);
    cb.assign("blueprint", none());
    cb.annotate("blueprint", "Optional[str]");
    cb.at(18);
    cb.assign("error", none());
    cb.annotate("error", "Optional[Union[str, ErrorDetail]]");
    cb.at(19);
    cb.assign("created_at", none());
    cb.annotate("created_at", "Optional[str]");
    cb.at(20);
    cb.assign("updated_at", none());
    cb.annotate("updated_at", "Optional[str]");
    cb.at(21);
    cb.assign("completed_at", none());
    cb.annotate("completed_at", "Optional[str]");
    // @model_validator(mode="after"): the decorator expression is evaluated
    // before the function exists, as Python does.
    cb.at(23);
    Ref decorator = call_kw(cb.global(FRAME_STR("model_validator")), {FRAME_STR("after")}, FRAME_KWNAMES("mode"));
    Ref function = cb.def(extract_blueprint_from_result_def, false);
    cb.assign("extract_blueprint_from_result", call(decorator, {function}));
}

void generation_status_body(ClassBody& cb) {
    cb.at(43);
    cb.annotate("generation_id", "str");
    cb.at(44);
    cb.annotate("status", "StatusEnum");
    cb.at(45);
    cb.assign("estimated_time", none());
    cb.annotate("estimated_time", "Optional[int]");
    cb.at(46);
    cb.assign("error", none());
    cb.annotate("error", "Optional[Union[str, ErrorDetail]]");
}

void body(ModuleBody& m) {
    m.at(3);
    m.from_import("typing", "typing", 0, {"Any", "Dict", "Optional", "Union"});
    m.at(5);
    m.from_import("pydantic", "pydantic", 0, {"BaseModel", "model_validator"});
    m.at(7);
    m.from_import("velquor_ai.models.common", "common", 1, {"StatusEnum"});
    m.at(8);
    m.from_import("velquor_ai.models.execution", "execution", 1, {"ErrorDetail"});
    m.class_statement(generation_result_class);
    m.class_statement(generation_status_class);
    m.at(50);
    m.assign("BlueprintGenerationResponse", m.global(FRAME_STR("GenerationResult")));
}

}  // namespace
