// Text forms of interpreter objects, used in messages and failure reports; none of them fails.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace brindlex::runtime {

// The str and repr forms: a failure goes to the unraisable hook and a fixed text stands in.
std::string str_text(PyObject* object) noexcept;
std::string repr_text(PyObject* object) noexcept;
// UTF-8 of a str object, with lone surrogates shown as U+FFFD.
std::string lossy_text(PyObject* str) noexcept;
// Valid UTF-8 from any bytes: each maximal invalid subsequence becomes one U+FFFD.
std::string replace_invalid_utf8(std::string_view bytes) noexcept;
// A traceback as the interpreter prints it; one that cannot be printed is reported to the
// unraisable hook and shown as "<unformattable " + its repr + ">". Needs the interpreter lock.
std::string traceback_text(PyObject* traceback) noexcept;

}  // namespace brindlex::runtime
