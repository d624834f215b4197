// Generated from validators.py by tools/declarations.py: do not edit.
// The declarations of velquor_ai.util.validators, read from its Python; validators.cpp
// defines the bodies declared first, and includes this after the frame.
namespace {

frame::Ref validate_execution_id(frame::Call& c);
frame::Ref validate_generation_id(frame::Call& c);
void body(frame::ModuleBody& m);

const frame::FunctionDef validate_execution_id_def{
    .name = "validate_execution_id",
    .line = 6,
    .params = {{.name = "execution_id", .annotation = "str", .check = frame::Check::Str}},
    .returns = "None",
    .doc = R"doc(Validate execution ID format.

    Args:
        execution_id (str): Execution ID to validate.

    Raises:
        ValidationError: If execution ID is invalid.
    )doc",
    .body = validate_execution_id,
};

const frame::FunctionDef validate_generation_id_def{
    .name = "validate_generation_id",
    .line = 22,
    .params = {{.name = "generation_id", .annotation = "str", .check = frame::Check::Str}},
    .returns = "None",
    .doc = R"doc(Validate generation ID format.

    Args:
        generation_id (str): Generation ID to validate.

    Raises:
        ValidationError: If generation ID is invalid.
    )doc",
    .body = validate_generation_id,
};

const frame::ModuleDef validators{"velquor_ai.util.validators", "Input validation utilities.", body};

}  // namespace

FRAME_MODULE(validators, validators)
