// Generated from tamsel.py by tools/declarations.py: do not edit.
// The declarations of velquor_ai.util.tamsel, read from its Python; tamsel.cpp
// defines the bodies declared first, and includes this after the frame.
namespace {

frame::Ref init(frame::Call& c);
frame::Ref prepare_file(frame::Call& c);
frame::Ref read_file(frame::Call& c);
void file_handler_body(frame::ClassBody& cb);
void body(frame::ModuleBody& m);

const frame::FunctionDef init_def{
    .name = "__init__",
    .line = 17,
    .params =
        {
            {.name = "self"},
            {.name = "config", .annotation = "Config"},
        },
    .returns = "None",
    .doc = R"doc(Initialize file handler.

        Args:
            config: SDK configuration.
        )doc",
    .body = init,
};

const frame::FunctionDef prepare_file_def{
    .name = "prepare_file",
    .line = 25,
    .params =
        {
            {.name = "self"},
            {.name = "file", .annotation = "Union[str, Path, BinaryIO]"},
            {.name = "file_type", .annotation = "str", .check = frame::Check::Str},
        },
    .returns = "Dict[str, Any]",
    .result = frame::Check::Dict,
    .doc = R"doc(Prepare file for upload.

        Args:
            file: File path or file-like object.
            file_type: Type of file ("image" or "video").

        Returns:
            Dict with filename, content_type, size.

        Raises:
            ValidationError: If file is invalid.
        )doc",
    .body = prepare_file,
    .locals = {"file_path", "file_size", "content_type"},
};

const frame::FunctionDef read_file_def{
    .name = "read_file",
    .line = 72,
    .params =
        {
            {.name = "self"},
            {.name = "file_info", .annotation = "Dict[str, Any]", .check = frame::Check::Dict},
        },
    .returns = "bytes",
    .result = frame::Check::Bytes,
    .doc = R"doc(Read file content.

        Args:
            file_info: File information dictionary.

        Returns:
            bytes: File content.

        Raises:
            ValidationError: If file cannot be read.
        )doc",
    .body = read_file,
    .locals = {"f", "file_obj"},
};

const frame::ClassDef file_handler_class{
    .name = "FileHandler",
    .line = 14,
    .bases = {},
    .doc = "Handle file operations and validation.",
    .body = file_handler_body,
};

const frame::ModuleDef tamsel{"velquor_ai.util.tamsel", "File handling utilities.", body};

}  // namespace

FRAME_MODULE(tamsel, tamsel)
