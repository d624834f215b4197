// velquor_ai.resources.uploads: presigned upload URLs for the input files of a
// generation or an execution, and the PUT of file content to such a URL.
// The bodies of uploads.py, at its lines; its declarations are generated from
// it.
#include <frame/frame.hpp>

#include "uploads.declarations.hpp"

using namespace frame;

namespace {

// --- _infer_content_type -----------------------------------------------------

Ref infer_content_type(Call& c) {
    Obj filename = c.arg(1);
    c.at(32);
    Ref content_type;
    Ref encoding;
    unpack(call_method(c.global(FRAME_STR("mimetypes")), FRAME_STR("guess_type"), {filename}),
           {&content_type, &encoding});
    c.at(33);
    if (truthy(content_type)) return content_type;
    return borrow(FRAME_STR("application/octet-stream"));
}

// --- upload URL requests -----------------------------------------------------

// The statements from `files = []` to the end of the loop; `line` is the one
// of `files = []`.
template <class Slots>
void build_files(CoroutineCall& c, int line) {
    c.at(line);
    c[Slots::files] = new_list();
    c.at(line + 1);
    Iterate names(c[Slots::filenames]);
    while (Ref name = names.next()) {
        c[Slots::filename] = std::move(name);
        c.at(line + 2);
        c[Slots::content_type] = call_method(c[Slots::self], FRAME_STR("_infer_content_type"), {c[Slots::filename]});
        c.at(line + 3);
        Ref entry = new_dict();
        set_item(entry, FRAME_STR("filename"), c[Slots::filename]);
        set_item(entry, FRAME_STR("content_type"), c[Slots::content_type]);
        append(c[Slots::files], entry);
        c.at(line + 1);
    }
}

// body = {"files": files}
template <class Slots>
void build_body(CoroutineCall& c) {
    c[Slots::body] = new_dict();
    set_item(c[Slots::body], FRAME_STR("files"), c[Slots::files]);
}

// self._http.post(prefix + identifier + "/upload", json=body), not yet awaited.
template <class Slots>
Ref post_upload_request(CoroutineCall& c, Obj prefix, Obj identifier) {
    Ref post = getattr(getattr(c[Slots::self], FRAME_STR("_http")), FRAME_STR("post"));
    Ref path = join({prefix, format(identifier), FRAME_STR("/upload")});
    return call_kw(post, {path, c[Slots::body]}, FRAME_KWNAMES("json"));
}

Task get_generation_upload_urls(CoroutineCall& c) {
    using Slots = get_generation_upload_urls_slots;
    using enum Slots::Slot;
    c.at(50);
    call(c.global(FRAME_STR("validate_generation_id")), {c[generation_id]});
    build_files<Slots>(c, 53);
    c.at(58);
    build_body<Slots>(c);
    c.at(59);
    c[response] = co_await c.await_(post_upload_request<Slots>(c, FRAME_STR("/v1/generation/"), c[generation_id]));
    c.at(60);
    co_return c[response];
}

Task get_execution_upload_urls(CoroutineCall& c) {
    using Slots = get_execution_upload_urls_slots;
    using enum Slots::Slot;
    c.at(77);
    call(c.global(FRAME_STR("validate_execution_id")), {c[execution_id]});
    build_files<Slots>(c, 80);
    c.at(85);
    build_body<Slots>(c);
    c.at(86);
    c[response] = co_await c.await_(post_upload_request<Slots>(c, FRAME_STR("/v1/execution/"), c[execution_id]));
    c.at(87);
    co_return c[response];
}

// --- presigned uploads -----------------------------------------------------------

bool is_accepted_status(Obj status) {
    for (long long accepted : {200, 201, 204})
        if (!truthy(compare(status, integer(accepted), Py_NE))) return true;
    return false;
}

Task upload_file_to_s3(CoroutineCall& c) {
    using enum upload_file_to_s3_slots::Slot;
    c.at(110);
    co_return co_await async_with(
        c, with_, call_method(c.global(FRAME_STR("httpx")), FRAME_STR("AsyncClient")), s3_client, [&]() -> Block {
            c.at(111);
            Ref putting;
            {
                Ref put = getattr(c[s3_client], FRAME_STR("put"));
                c.at(114);
                Ref headers = new_dict();
                set_item(headers, FRAME_STR("Content-Type"), c[content_type]);
                c.at(111);
                Ref timeout = floating(60.0);
                putting = call_kw(put, {c[upload_url], c[file_data], headers, timeout},
                                  FRAME_KWNAMES("content", "headers", "timeout"));
            }
            c[response] = co_await c.await_(std::move(putting));
            c.at(118);
            if (!is_accepted_status(getattr(c[response], FRAME_STR("status_code")))) {
                c.at(119);
                Ref message =
                    join({FRAME_STR("S3 upload failed (Any): "), format(getattr(c[response], FRAME_STR("status_code"))),
                          FRAME_STR(" "), format(getattr(c[response], FRAME_STR("text")))});
                raise(call(c.global(FRAME_STR("Exception")), {message}));
            }
            c.at(121);
            {
                Ref info = getattr(c.global(FRAME_STR("logger")), FRAME_STR("info"));
                Ref size = integer(length(c[file_data]));
                call(info,
                     {join({FRAME_STR("File uploaded to S3 successfully ("), format(size), FRAME_STR(" bytes)")})});
            }
            c.at(122);
            Ref record = new_dict();
            set_item(record, FRAME_STR("status"), FRAME_STR("uploaded"));
            set_item(record, FRAME_STR("size"), integer(length(c[file_data])));
            co_return record;
        });
}

Task upload_files(CoroutineCall& c) {
    using enum upload_files_slots::Slot;
    c.at(139);
    Iterate entries(c[upload_urls]);
    while (Ref entry = entries.next()) {
        c[url_info] = std::move(entry);
        c.at(140);
        Ref info = getattr(c.global(FRAME_STR("logger")), FRAME_STR("info"));
        Ref name = call_method(c[url_info], FRAME_STR("get"), {FRAME_STR("filename")});
        call(info, {join({FRAME_STR("Uploading "), format(name), FRAME_STR("...")})});
        c.at(144);
        call_method(c.global(FRAME_STR("logger")), FRAME_STR("warning"),
                    {FRAME_STR("File upload not fully implemented yet")});
        c.at(139);
    }
    co_return new_none();
}

// --- the class and module bodies ---------------------------------------------------

void uploads_resource_body(ClassBody& cb) {
    cb.def(infer_content_type_def);
    cb.def(get_generation_upload_urls_def);
    cb.def(get_execution_upload_urls_def);
    cb.def(upload_file_to_s3_def);
    cb.def(upload_files_def);
}

void body(ModuleBody& m) {
    m.at(3);
    m.import("logging");
    m.at(4);
    m.import("mimetypes");
    m.at(5);
    m.from_import("typing", "typing", 0, {"Any", "Dict", "List"});
    m.at(7);
    m.import("httpx");
    m.at(9);
    m.from_import("velquor_ai.util.validators", "util.validators", 2,
                  {"validate_execution_id", "validate_generation_id"});
    m.at(10);
    m.from_import("velquor_ai.resources.base", "base", 1, {"BaseResource"});
    m.at(12);
    m.assign("logger",
             call_method(m.global(FRAME_STR("logging")), FRAME_STR("getLogger"), {m.global(FRAME_STR("__name__"))}));
    m.class_statement(uploads_resource_class);
}

}  // namespace
