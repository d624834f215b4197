// velquor_ai.util.validators: checks of the identifiers that go into request
// paths. The bodies of validators.py, at its lines; its declarations are
// generated from it.
#include <array>

#include <frame/frame.hpp>

#include "validators.declarations.hpp"

using namespace frame;

namespace {

// An identifier is one path segment of a request URL: it must not be able to
// leave that segment (separators, query, fragment, escapes, control
// characters, dot segments).
constexpr bool refused_character(Py_UCS4 c) {
    return c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == '?' || c == '#' || c == '%';
}

bool leaves_path_segment(Obj identifier) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(identifier.get());
    int kind = PyUnicode_KIND(identifier.get());
    const void* data = PyUnicode_DATA(identifier.get());
    if (kind == PyUnicode_1BYTE_KIND) {
        // Identifiers are nearly always Latin-1: test them with a table.
        static constexpr auto refused = [] {
            std::array<bool, 256> table{};
            for (unsigned c = 0; c < 256; ++c) table[c] = refused_character(c);
            return table;
        }();
        const auto* bytes = static_cast<const Py_UCS1*>(data);
        for (Py_ssize_t i = 0; i < length; ++i)
            if (refused[bytes[i]]) return true;
    } else {
        for (Py_ssize_t i = 0; i < length; ++i)
            if (refused_character(PyUnicode_READ(kind, data, i))) return true;
    }
    return (length == 1 && PyUnicode_READ(kind, data, 0) == '.') ||
           (length == 2 && PyUnicode_READ(kind, data, 0) == '.' && PyUnicode_READ(kind, data, 1) == '.');
}

[[noreturn]] void raise_validation_error(const Call& c, const char* message, const char* field) {
    raise(call_kw(c.global(FRAME_STR("ValidationError")), {str(message), str(field)}, FRAME_KWNAMES("field")));
}

Ref validate_execution_id(Call& c) {
    Obj execution_id = c.arg(0);
    c.at(18);
    if (!truthy(execution_id)) {
        c.at(19);
        raise_validation_error(c, "Execution ID cannot be empty", "execution_id");
    }
    c.at(20);
    if (leaves_path_segment(execution_id)) {
        c.at(21);
        raise_validation_error(c, "Execution ID contains characters not allowed in a URL path segment", "execution_id");
    }
    return new_none();
}

Ref validate_generation_id(Call& c) {
    Obj generation_id = c.arg(0);
    c.at(34);
    if (!truthy(generation_id)) {
        c.at(35);
        raise_validation_error(c, "Generation ID cannot be empty", "generation_id");
    }
    c.at(36);
    if (leaves_path_segment(generation_id)) {
        c.at(37);
        raise_validation_error(c, "Generation ID contains characters not allowed in a URL path segment",
                               "generation_id");
    }
    return new_none();
}

void body(ModuleBody& m) {
    m.at(3);
    m.from_import("velquor_ai.exceptions", "exceptions", 2, {"ValidationError"});
    m.def(validate_execution_id_def);
    m.def(validate_generation_id_def);
}

}  // namespace
