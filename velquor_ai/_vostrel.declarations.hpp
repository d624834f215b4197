// Generated from _vostrel.py by tools/declarations.py: do not edit.
// The declarations of velquor_ai._vostrel, read from its Python; _vostrel.cpp
// defines the bodies declared first, and includes this after the frame.
namespace {

frame::Ref prepare_file_paths(frame::Call& c);
frame::Ref create_generation_result(frame::Call& c);
frame::Ref create_execution_result(frame::Call& c);
frame::Task generate_blueprint_vostrel(frame::CoroutineCall& c);
frame::Task execute_blueprint_vostrel(frame::CoroutineCall& c);
void body(frame::ModuleBody& m);

FRAME_SLOTS(generate_blueprint_vostrel_slots, client, prompt, images, videos, input_data, blueprint_str, validated_blueprint);
FRAME_SLOTS(execute_blueprint_vostrel_slots, client, blueprint, input_files, blueprint_str, input_data, result_dict);

const frame::FunctionDef prepare_file_paths_def{
    .name = "prepare_file_paths",
    .line = 24,
    .params = {{.name = "file_lists", .annotation = "Optional[List[FileInput]]"}},
    .returns = "List[str]",
    .result = frame::Check::List,
    .doc = R"doc(Convert file inputs to list of file path strings.

    Args:
        *file_lists: Variable number of optional file input lists.

    Returns:
        List of file path strings.

    Raises:
        ValueError: If file type is not supported.
    )doc",
    .body = prepare_file_paths,
    .varargs = true,
    .locals = {"file_paths", "file_list", "file_input"},
};

const frame::FunctionDef create_generation_result_def{
    .name = "create_generation_result",
    .line = 50,
    .params = {{.name = "blueprint", .annotation = "str", .check = frame::Check::Str}},
    .returns = "GenerationResult",
    .doc = R"doc(Create GenerationResult from blueprint string.

    Args:
        blueprint: Validated blueprint string.

    Returns:
        GenerationResult instance.
    )doc",
    .body = create_generation_result,
    .locals = {"now"},
};

const frame::FunctionDef create_execution_result_def{
    .name = "create_execution_result",
    .line = 70,
    .params = {{.name = "result_dict", .annotation = "Dict[str, Any]", .check = frame::Check::Dict}},
    .returns = "ExecutionResult",
    .doc = R"doc(Create ExecutionResult from on-premise execution response.

    Args:
        result_dict: Response dictionary from on-premise client.
            Format: {"output": [list of result strings]}

    Returns:
        ExecutionResult instance.
    )doc",
    .body = create_execution_result,
    .locals = {"output_list", "output_files", "item", "now"},
};

const frame::FunctionDef generate_blueprint_vostrel_def{
    .name = "generate_blueprint_vostrel",
    .line = 98,
    .params =
        {
            {.name = "client", .annotation = "'VelquorAPIClient'", .line = 99},
            {.name = "prompt", .annotation = "str", .line = 100, .check = frame::Check::Str},
            {.name = "images", .annotation = "Optional[List[FileInput]]", .line = 101, .check = frame::Check::OptionalList},
            {.name = "videos", .annotation = "Optional[List[FileInput]]", .line = 102, .check = frame::Check::OptionalList},
        },
    .returns = "GenerationResult",
    .doc = R"doc(Generate blueprint using on-premise client.

    Args:
        client: VelquorAPIClient instance.
        prompt: User prompt/question.
        images: List of image files.
        videos: List of video files.

    Returns:
        GenerationResult with blueprint string.
    )doc",
    .async_body = generate_blueprint_vostrel,
    .slots = generate_blueprint_vostrel_slots::names,
};

const frame::FunctionDef execute_blueprint_vostrel_def{
    .name = "execute_blueprint_vostrel",
    .line = 126,
    .params =
        {
            {.name = "client", .annotation = "'VelquorAPIClient'", .line = 127},
            {.name = "blueprint", .annotation = "BlueprintInput", .line = 128},
            {.name = "input_files", .annotation = "Optional[List[FileInput]]", .line = 129, .check = frame::Check::OptionalList},
        },
    .returns = "ExecutionResult",
    .doc = R"doc(Execute blueprint using on-premise client.

    Args:
        client: VelquorAPIClient instance.
        blueprint: Blueprint content.
        input_files: List of input files.

    Returns:
        ExecutionResult with execution results.

    Raises:
        ValueError: If no input files provided.
    )doc",
    .async_body = execute_blueprint_vostrel,
    .slots = execute_blueprint_vostrel_slots::names,
};

const frame::ModuleDef vostrel{"velquor_ai._vostrel", "On-premise mode implementation for VelquorAI SDK.", body};

}  // namespace

FRAME_MODULE(_vostrel, vostrel)
