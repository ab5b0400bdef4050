// Puts the parameter's name in front of a TypeError raised while converting an argument.
#include "argument_error.h"

#include <string>

#include "runtime/object_text.h"
#include "runtime/owned.h"

namespace brindlex::module {

runtime::PyErr prefix_argument_error(std::string_view name, runtime::PyErr error) noexcept {
    PyObject* incoming = error.instance();
    // Identity, not a subclass test: a TypeError subclass says something of its own.
    if (Py_TYPE(incoming) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;

    std::string text = "argument '";
    text.append(name);
    text.append("': ");
    text.append(runtime::str_text(incoming));
    runtime::PyErr prefixed = runtime::PyErr::type_error(std::move(text));
    // The cause carries over; the incoming exception itself is not chained to the new one.
    PyObject* cause = PyException_GetCause(incoming);  // new reference or null
    PyException_SetCause(prefixed.instance(), cause);  // steals it; also suppresses the context
    return prefixed;
}

}  // namespace brindlex::module
