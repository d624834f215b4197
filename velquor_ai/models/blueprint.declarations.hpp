// Generated from blueprint.py by tools/declarations.py: do not edit.
// The declarations of velquor_ai.models.blueprint, read from its Python; blueprint.cpp
// defines the bodies declared first, and includes this after the frame.
namespace {

frame::Ref extract_blueprint_from_result(frame::Call& c);
void generation_result_body(frame::ClassBody& cb);
void generation_status_body(frame::ClassBody& cb);
void body(frame::ModuleBody& m);

const frame::FunctionDef extract_blueprint_from_result_def{
    .name = "extract_blueprint_from_result",
    .line = 23,
    .params = {{.name = "self", .line = 24}},
    .returns = "'GenerationResult'",
    .doc = R"doc(Extract blueprint from result dict if not already set at top level.

        This handles backward compatibility:
        - New format: blueprint is at top level (API returns it directly)
        - Old format: blueprint is inside result.blueprint

        Returns:
            GenerationResult: Self instance with blueprint extracted
        )doc",
    .body = extract_blueprint_from_result,
};

const frame::ClassDef generation_result_class{
    .name = "GenerationResult",
    .line = 11,
    .bases = {"BaseModel"},
    .doc = "Generation result (from GET /v1/generation/{id}/result).",
    .body = generation_result_body,
};

const frame::ClassDef generation_status_class{
    .name = "GenerationStatus",
    .line = 40,
    .bases = {"BaseModel"},
    .doc = "Generation status response.",
    .body = generation_status_body,
};

const frame::ModuleDef blueprint{"velquor_ai.models.blueprint", "Generation data models.", body};

}  // namespace

FRAME_MODULE(blueprint, blueprint)
