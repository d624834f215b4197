// velquor_ai.util.tamsel: checks, describes and reads the input files of a
// generation. The bodies of tamsel.py, at its lines; its declarations are
// generated from it.
#include <frame/frame.hpp>

#include "tamsel.declarations.hpp"

using namespace frame;

namespace {

// Objects bound once at import and used by every call. They are allocated and
// never freed: the module can be initialised only once per process, and a
// static destructor would run after the interpreter has gone.
struct ImportTime {
    Ref text_io;
    Ref raw_io;
    Ref buffered_io;
};
ImportTime& import_time() {
    static ImportTime* objects = new ImportTime();
    return *objects;
}

[[noreturn]] void raise_validation_error(const Call& c, Obj message) {
    raise(call_kw(c.global(FRAME_STR("ValidationError")), {message, FRAME_STR("file")}, FRAME_KWNAMES("field")));
}

bool has_callable(Obj object, Obj name) {
    Ref attribute = getattr(object, name, none());
    return is_callable(attribute);
}

bool is_binary_file(Obj file) {
    const ImportTime& io = import_time();
    if (isinstance(file, io.text_io)) return false;
    if (isinstance(file, io.raw_io) || isinstance(file, io.buffered_io)) return true;
    if (hasattr(file, FRAME_STR("encoding"))) return false;
    return has_callable(file, FRAME_STR("read")) && has_callable(file, FRAME_STR("seek"));
}

Ref init(Call& c) {
    c.at(23);
    setattr(c.arg(0), FRAME_STR("config"), c.arg(1));
    return new_none();
}

Ref prepare_file(Call& c) {
    Obj self = c.arg(0);
    Obj file = c.arg(1);
    Obj file_type = c.arg(2);
    c.at(38);
    Ref path_types = tuple({c.global(FRAME_STR("str")), c.global(FRAME_STR("Path"))});
    if (isinstance(file, path_types)) {
        c.at(39);
        Ref file_path = call(c.global(FRAME_STR("Path")), {file});
        c.at(40);
        if (!truthy(call_method(file_path, FRAME_STR("exists")))) {
            c.at(41);
            raise_validation_error(c, join({FRAME_STR("File not found: "), format(file_path)}));
        }
        c.at(43);
        Ref file_size = getattr(call_method(file_path, FRAME_STR("stat")), FRAME_STR("st_size"));
        c.at(44);
        if (greater(file_size, getattr(getattr(self, FRAME_STR("config")), FRAME_STR("max_file_size")))) {
            c.at(45);
            Ref size_text = format(file_size);
            Ref limit_text = format(getattr(getattr(self, FRAME_STR("config")), FRAME_STR("max_file_size")));
            raise_validation_error(c, join({FRAME_STR("File too large (Any): "), size_text, FRAME_STR(" bytes (max: "),
                                            limit_text, FRAME_STR(")")}));
        }
        c.at(47);
        Ref guessed = call_method(c.global(FRAME_STR("mimetypes")), FRAME_STR("guess_type"), {to_str(file_path)});
        Ref content_type = get_item(guessed, integer(0));
        c.at(48);
        if (!truthy(content_type)) {
            c.at(49);
            if (equals(file_type, FRAME_STR("image"))) {
                c.at(50);
                content_type = borrow(FRAME_STR("image/jpeg"));
            } else {
                c.at(51);
                if (equals(file_type, FRAME_STR("video"))) {
                    c.at(52);
                    content_type = borrow(FRAME_STR("video/mp4"));
                } else {
                    c.at(54);
                    content_type = borrow(FRAME_STR("application/octet-stream"));
                }
            }
        }
        c.at(57);
        Ref filename = getattr(file_path, FRAME_STR("name"));
        c.at(60);
        Ref path_text = to_str(file_path);
        c.at(56);
        Ref info = new_dict();
        set_item(info, FRAME_STR("filename"), filename);
        set_item(info, FRAME_STR("content_type"), content_type);
        set_item(info, FRAME_STR("size"), file_size);
        set_item(info, FRAME_STR("path"), path_text);
        return info;
    }
    // A binary file object is an io.RawIOBase or io.BufferedIOBase instance, or
    // any other object with callable read and seek that is neither an
    // io.TextIOBase instance nor has an `encoding` attribute. Text-mode files
    // are refused here: read_file would otherwise hand back str where the
    // upload needs bytes, and only after the file had been accepted.
    c.at(62);
    if (is_binary_file(file)) {
        c.at(64);
        Ref filename = getattr(file, FRAME_STR("name"), FRAME_STR("upload"));
        c.at(63);
        Ref info = new_dict();
        set_item(info, FRAME_STR("filename"), filename);
        set_item(info, FRAME_STR("content_type"), FRAME_STR("application/octet-stream"));
        set_item(info, FRAME_STR("size"), none());
        set_item(info, FRAME_STR("file_obj"), file);
        return info;
    }
    c.at(70);
    Ref type_text = format(type_of(file));
    raise_validation_error(c, join({FRAME_STR("Unsupported file type: "), type_text}));
}

Ref read_file(Call& c) {
    Obj file_info = c.arg(1);
    c.at(84);
    if (contains(file_info, FRAME_STR("path"))) {
        c.at(85);
        Ref opened = call(c.global(FRAME_STR("open")), {get_item(file_info, FRAME_STR("path")), FRAME_STR("rb")});
        Ref content = with_statement(c, opened, [&](Obj f) {
            c.at(86);
            Ref content = call_method(f, FRAME_STR("read"));
            check_result(content, &PyBytes_Type, "bytes");
            return content;
        });
        // An exit that swallows the error leaves the block without a return,
        // and the method falls off its end.
        return content ? content : new_none();
    }
    c.at(87);
    if (contains(file_info, FRAME_STR("file_obj"))) {
        c.at(88);
        Ref file_obj = get_item(file_info, FRAME_STR("file_obj"));
        c.at(89);
        call_method(file_obj, FRAME_STR("seek"), {integer(0)});
        c.at(90);
        return call_method(file_obj, FRAME_STR("read"));
    }
    c.at(92);
    raise_validation_error(c, FRAME_STR("Cannot read file: no path or file_obj"));
}

void file_handler_body(ClassBody& cb) {
    cb.def(init_def);
    cb.def(prepare_file_def);
    cb.def(read_file_def);
}

void body(ModuleBody& m) {
    // The io classes that tell binary files apart are taken once, as the
    // module is executed.
    ImportTime& kept = import_time();
    Ref io = import_module("io");
    kept.text_io = getattr(io, FRAME_STR("TextIOBase"));
    kept.raw_io = getattr(io, FRAME_STR("RawIOBase"));
    kept.buffered_io = getattr(io, FRAME_STR("BufferedIOBase"));

    m.at(3);
    m.import("logging");
    m.at(4);
    m.import("mimetypes");
    m.at(5);
    m.from_import("pathlib", "pathlib", 0, {"Path"});
    m.at(6);
    m.from_import("typing", "typing", 0, {"Any", "BinaryIO", "Dict", "Union"});
    m.at(8);
    m.from_import("velquor_ai.config", "config", 2, {"Config"});
    m.at(9);
    m.from_import("velquor_ai.exceptions", "exceptions", 2, {"ValidationError"});
    m.at(11);
    m.assign("logger",
             call_method(m.global(FRAME_STR("logging")), FRAME_STR("getLogger"), {m.global(FRAME_STR("__name__"))}));
    m.class_statement(file_handler_class);
}

}  // namespace
