// Generated from generations.py by tools/declarations.py: do not edit.
// The declarations of velquor_ai.resources.generations, read from its Python; generations.cpp
// defines the bodies declared first, and includes this after the frame.
namespace {

frame::Ref init(frame::Call& c);
frame::Task create(frame::CoroutineCall& c);
frame::Task get_upload_urls(frame::CoroutineCall& c);
frame::Task start(frame::CoroutineCall& c);
frame::Task get_result(frame::CoroutineCall& c);
void generations_resource_body(frame::ClassBody& cb);
void body(frame::ModuleBody& m);

FRAME_SLOTS(create_slots, self, question, body, response);
FRAME_SLOTS(get_upload_urls_slots, self, generation_id, filenames);
FRAME_SLOTS(start_slots, self, generation_id, response);
FRAME_SLOTS(get_result_slots, self, generation_id, response);

const frame::FunctionDef init_def{
    .name = "__init__",
    .line = 27,
    .params =
        {
            {.name = "self"},
            {.name = "http_client", .annotation = "'HTTPClient'"},
            {.name = "uploads", .annotation = "'UploadsResource'"},
        },
    .returns = "None",
    .doc = R"doc(Initialize GenerationsResource.

        Args:
            http_client (HTTPClient): HTTP client instance.
            uploads (UploadsResource): UploadsResource instance for file upload operations.
        )doc",
    .body = init,
};

const frame::FunctionDef create_def{
    .name = "create",
    .line = 37,
    .params =
        {
            {.name = "self"},
            {.name = "question", .annotation = "str", .check = frame::Check::Str},
        },
    .returns = "GenerationResult",
    .doc = R"doc(Create generation record.

        Args:
            question (str): User question/prompt for blueprint generation.

        Returns:
            GenerationResult: The new record, with its generation_id and status "created".

        Examples:
            >>> generation = await client.generations.create("What is in the image?")
        )doc",
    .async_body = create,
    .slots = create_slots::names,
};

const frame::FunctionDef get_upload_urls_def{
    .name = "get_upload_urls",
    .line = 53,
    .params =
        {
            {.name = "self"},
            {.name = "generation_id", .annotation = "str", .check = frame::Check::Str},
            {.name = "filenames", .annotation = "List[str]", .check = frame::Check::List},
        },
    .returns = "Dict[str, Any]",
    .result = frame::Check::Dict,
    .doc = R"doc(Get file upload URLs for generation inputs.

        Args:
            generation_id (str): Generation ID.
            filenames (List[str]): List of filenames.

        Returns:
            Dict[str, Any]: Dict with upload_urls.

        Examples:
            >>> urls = await client.generations.get_upload_urls("gen_123", ["input.jpg"])
        )doc",
    .async_body = get_upload_urls,
    .slots = get_upload_urls_slots::names,
};

const frame::FunctionDef start_def{
    .name = "start",
    .line = 68,
    .params =
        {
            {.name = "self"},
            {.name = "generation_id", .annotation = "str", .check = frame::Check::Str},
        },
    .returns = "GenerationStatus",
    .doc = R"doc(Start generation.

        Args:
            generation_id (str): Generation ID.

        Returns:
            GenerationStatus: GenerationStatus.

        Examples:
            >>> status = await client.generations.start("gen_123")
        )doc",
    .async_body = start,
    .slots = start_slots::names,
};

const frame::FunctionDef get_result_def{
    .name = "get_result",
    .line = 85,
    .params =
        {
            {.name = "self"},
            {.name = "generation_id", .annotation = "str", .check = frame::Check::Str},
        },
    .returns = "GenerationResult",
    .doc = R"doc(Get generation result.

        Args:
            generation_id (str): Generation ID.

        Returns:
            GenerationResult: GenerationResult.

        Examples:
            >>> result = await client.generations.get_result("gen_123")
        )doc",
    .async_body = get_result,
    .slots = get_result_slots::names,
};

const frame::ClassDef generations_resource_class{
    .name = "GenerationsResource",
    .line = 17,
    .bases = {"BaseResource"},
    .doc = R"doc(Generation resource manager.

    Maps to:
    - POST /v1/generation
    - POST /v1/generation/{generation_id}/upload
    - POST /v1/generation/{generation_id}/start
    - GET /v1/generation/{generation_id}/result
    )doc",
    .body = generations_resource_body,
};

const frame::ModuleDef generations{"velquor_ai.resources.generations", "Generation resource management.", body};

}  // namespace

FRAME_MODULE(generations, generations)
