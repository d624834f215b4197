// Generated from uploads.py by tools/declarations.py: do not edit.
// The declarations of velquor_ai.resources.uploads, read from its Python; uploads.cpp
// defines the bodies declared first, and includes this after the frame.
namespace {

frame::Ref infer_content_type(frame::Call& c);
frame::Task get_generation_upload_urls(frame::CoroutineCall& c);
frame::Task get_execution_upload_urls(frame::CoroutineCall& c);
frame::Task upload_file_to_s3(frame::CoroutineCall& c);
frame::Task upload_files(frame::CoroutineCall& c);
void uploads_resource_body(frame::ClassBody& cb);
void body(frame::ModuleBody& m);

FRAME_SLOTS(get_generation_upload_urls_slots, self, generation_id, filenames, files, filename, content_type, body, response);
FRAME_SLOTS(get_execution_upload_urls_slots, self, execution_id, filenames, files, filename, content_type, body, response);
FRAME_SLOTS(upload_file_to_s3_slots, self, upload_url, file_data, content_type, s3_client, response, with_);
FRAME_SLOTS(upload_files_slots, self, upload_urls, url_info);

const frame::FunctionDef infer_content_type_def{
    .name = "_infer_content_type",
    .line = 23,
    .params =
        {
            {.name = "self"},
            {.name = "filename", .annotation = "str", .check = frame::Check::Str},
        },
    .returns = "str",
    .result = frame::Check::Str,
    .doc = R"doc(Infer content type from filename extension.

        Args:
            filename (str): Name of the file.

        Returns:
            str: MIME content type.
        )doc",
    .body = infer_content_type,
    .locals = {"content_type", "_"},
};

const frame::FunctionDef get_generation_upload_urls_def{
    .name = "get_generation_upload_urls",
    .line = 35,
    .params =
        {
            {.name = "self", .line = 36},
            {.name = "generation_id", .annotation = "str", .line = 36, .check = frame::Check::Str},
            {.name = "filenames", .annotation = "List[str]", .line = 36, .check = frame::Check::List},
        },
    .returns = "Dict[str, Any]",
    .result = frame::Check::Dict,
    .doc = R"doc(Get upload URLs for generation files.

        Args:
            generation_id (str): Generation ID.
            filenames (List[str]): List of filenames.

        Returns:
            Dict[str, Any]: Dict with upload_urls.

        Examples:
            >>> urls = await client.uploads.get_generation_upload_urls("gen_123", ["input.jpg"])
        )doc",
    .async_body = get_generation_upload_urls,
    .slots = get_generation_upload_urls_slots::names,
};

const frame::FunctionDef get_execution_upload_urls_def{
    .name = "get_execution_upload_urls",
    .line = 62,
    .params =
        {
            {.name = "self", .line = 63},
            {.name = "execution_id", .annotation = "str", .line = 63, .check = frame::Check::Str},
            {.name = "filenames", .annotation = "List[str]", .line = 63, .check = frame::Check::List},
        },
    .returns = "Dict[str, Any]",
    .result = frame::Check::Dict,
    .doc = R"doc(Get upload URLs for execution files.

        Args:
            execution_id (str): Execution ID.
            filenames (List[str]): List of filenames.

        Returns:
            Dict[str, Any]: Dict with upload_urls.

        Examples:
            >>> urls = await client.uploads.get_execution_upload_urls("exec_123", ["input.jpg"])
        )doc",
    .async_body = get_execution_upload_urls,
    .slots = get_execution_upload_urls_slots::names,
};

const frame::FunctionDef upload_file_to_s3_def{
    .name = "upload_file_to_s3",
    .line = 89,
    .params =
        {
            {.name = "self", .line = 90},
            {.name = "upload_url", .annotation = "str", .line = 90, .check = frame::Check::Str},
            {.name = "file_data", .annotation = "bytes", .line = 90, .check = frame::Check::Bytes},
            {.name = "content_type", .annotation = "str", .default_value = frame::Default::string("application/octet-stream"), .line = 90, .check = frame::Check::Str},
        },
    .returns = "Dict[str, Any]",
    .result = frame::Check::Dict,
    .doc = R"doc(Upload file to S3 using presigned URL.

        Args:
            upload_url (str): Presigned S3 URL.
            file_data (bytes): File content as bytes.
            content_type (str): MIME type.

        Returns:
            Dict[str, Any]: Dict with upload status.

        Raises:
            Exception: If S3 upload fails.

        Examples:
            >>> with open("image.png", "rb") as f:
            ...     data = f.read()
            >>> await client.uploads.upload_file_to_s3(upload_url, data, "image/png")
        )doc",
    .async_body = upload_file_to_s3,
    .slots = upload_file_to_s3_slots::names,
};

const frame::FunctionDef upload_files_def{
    .name = "upload_files",
    .line = 124,
    .params =
        {
            {.name = "self"},
            {.name = "upload_urls", .annotation = "List[Dict[str, Any]]", .check = frame::Check::List},
        },
    .returns = "None",
    .doc = R"doc(Upload files to S3 using presigned URLs.

        Args:
            upload_urls (List[Dict[str, Any]]): List of upload URL info from get_*_upload_urls.

        Examples:
            >>> response = await client.uploads.get_generation_upload_urls(
            ...     "gen_123", ["input.jpg"]
            ... )
            >>> await client.uploads.upload_files(response["upload_urls"])
        )doc",
    .async_body = upload_files,
    .slots = upload_files_slots::names,
};

const frame::ClassDef uploads_resource_class{
    .name = "UploadsResource",
    .line = 15,
    .bases = {"BaseResource"},
    .doc = R"doc(Upload resource manager.

    Maps to:
    - POST /v1/generation/{generation_id}/upload
    - POST /v1/execution/{execution_id}/upload
    )doc",
    .body = uploads_resource_body,
};

const frame::ModuleDef uploads{"velquor_ai.resources.uploads", "Upload resource management.", body};

}  // namespace

FRAME_MODULE(uploads, uploads)
