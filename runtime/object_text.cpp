// Text forms of interpreter objects: lossy UTF-8 of str objects, never-failing str and repr, rendered tracebacks.
#include "runtime/object_text.h"

#include <cstddef>

#include "runtime/once_cell.h"
#include "runtime/owned.h"
#include "runtime/py_err.h"

namespace brindlex::runtime {
namespace {

// Errors inside the fallback paths are not worth reporting: the fixed texts stand in for them.
void drop_current_error() noexcept { PyErr_Clear(); }

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// Length of the UTF-8 sequence a lead byte opens, with the range its second byte must fall in
// (the narrow ranges exclude overlong forms, surrogates and values above U+10FFFF); 0 for a byte
// that can never start a sequence.
struct LeadByte {
    int length;
    unsigned char second_low;
    unsigned char second_high;
};

constexpr LeadByte classify_lead(unsigned char byte) noexcept {
    if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
    if (byte == 0xE0) return {3, 0xA0, 0xBF};
    if (byte == 0xED) return {3, 0x80, 0x9F};
    if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
    if (byte == 0xF0) return {4, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
    if (byte == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// Bytes of the valid prefix of the sequence starting at `at`: its full length when complete,
// otherwise the maximal subpart that has to be replaced (at least 1).
std::size_t sequence_prefix(std::string_view bytes, std::size_t at, const LeadByte& lead) noexcept {
    std::size_t next = at + 1;
    if (next >= bytes.size()) return 1;
    const auto second = static_cast<unsigned char>(bytes[next]);
    if (second < lead.second_low || second > lead.second_high) return 1;
    for (++next; next < at + static_cast<std::size_t>(lead.length); ++next) {
        if (next >= bytes.size()) return next - at;
        const auto continuation = static_cast<unsigned char>(bytes[next]);
        if (continuation < 0x80 || continuation > 0xBF) return next - at;
    }
    return next - at;
}

constinit OnceCell string_io_cell;
constinit OnceCell getvalue_cell;

PyObject* interned(OnceCell& cell, const char* text) noexcept {
    return cell.get_or_init([text] {
        PyObject* name = PyUnicode_InternFromString(text);
        if (name == nullptr) fail_after_interpreter_error();
        return name;
    });
}

PyObject* string_io_name() noexcept { return interned(string_io_cell, "StringIO"); }
PyObject* getvalue_name() noexcept { return interned(getvalue_cell, "getvalue"); }

Result<std::string> format_traceback(PyObject* traceback) noexcept {
    Owned io(PyImport_ImportModule("io"));
    if (!io) return failure(fetch_exception());
    Owned string_io(PyObject_GetAttr(io.get(), string_io_name()));
    if (!string_io) return failure(fetch_exception());
    Owned buffer(PyObject_CallNoArgs(string_io.get()));
    if (!buffer) return failure(fetch_exception());
    if (PyTraceBack_Print(traceback, buffer.get()) < 0) return failure(fetch_exception());
    Owned getvalue(PyObject_GetAttr(buffer.get(), getvalue_name()));
    if (!getvalue) return failure(fetch_exception());
    Owned text(PyObject_CallNoArgs(getvalue.get()));
    if (!text) return failure(fetch_exception());
    if (!PyUnicode_Check(text.get())) return failure(PyErr::downcast(text.get(), "PyString"));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return failure(fetch_exception());
    return std::string(utf8, static_cast<std::size_t>(size));
}

// The formatting failure is reported and not rendered, so an unformattable traceback inside it
// cannot recurse.
[[gnu::noinline, gnu::cold]] std::string unformattable_traceback(PyObject* traceback, PyErr error) noexcept {
    std::move(error).raise();
    PyErr_WriteUnraisable(traceback);
    return "<unformattable " + repr_text(traceback) + ">";
}


[[gnu::noinline, gnu::cold]] std::string unprintable(PyObject* object) noexcept {
    fetch_exception().raise();
    PyErr_WriteUnraisable(object);
    Owned name(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        drop_current_error();
        return "<unprintable object>";
    }
    return "<unprintable " + lossy_text(name.get()) + " object>";
}

std::string object_text(PyObject* object, PyObject* (*render)(PyObject*)) noexcept {
    Owned text(render(object));
    if (!text) return unprintable(object);
    return lossy_text(text.get());
}

}  // namespace

std::string traceback_text(PyObject* traceback) noexcept {
    Result<std::string> formatted = format_traceback(traceback);
    if (!formatted) return unformattable_traceback(traceback, std::move(formatted.error()));
    return std::move(*formatted);
}

std::string str_text(PyObject* object) noexcept { return object_text(object, PyObject_Str); }

std::string repr_text(PyObject* object) noexcept { return object_text(object, PyObject_Repr); }

std::string lossy_text(PyObject* str) noexcept {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    // Only lone surrogates stop the direct conversion; surrogatepass keeps them as bytes that
    // the replacement below turns into U+FFFD.
    drop_current_error();
    Owned bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) fail_after_interpreter_error();
    return replace_invalid_utf8(std::string_view(
        PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

std::string replace_invalid_utf8(std::string_view bytes) noexcept {
    std::string out;
    out.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++at;
            continue;
        }
        const LeadByte lead = classify_lead(byte);
        const std::size_t prefix = lead.length == 0 ? 1 : sequence_prefix(bytes, at, lead);
        if (prefix == static_cast<std::size_t>(lead.length)) {
            out.append(bytes.substr(at, prefix));
        } else {
            out += replacement_character;
        }
        at += prefix;
    }
    return out;
}

}  // namespace brindlex::runtime
