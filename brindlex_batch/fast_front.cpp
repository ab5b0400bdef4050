// The public functions' fast path: keyword arguments bound in C++, the Python definition called for anything else.
#include "fast_front.h"

#include <array>
#include <cstddef>
#include <string>

namespace brindlex::batch {
namespace {

constexpr std::size_t most_parameters = 10;

// A METH_FASTCALL function (the C API names this type only from CPython 3.13 on).
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);

// What one function binds. Holds a reference to every object it names.
struct Front {
    PyMethodDef method{};
    std::string name, doc;
    PyObject* definition = nullptr;
    FastCall native = nullptr;
    PyObject* native_self = nullptr;
    Py_ssize_t positional = 0;  // parameters that may come by position
    Py_ssize_t count = 0;
    std::array<PyObject*, most_parameters> names{};     // interned
    std::array<PyObject*, most_parameters> defaults{};  // null where the caller must give one
    std::array<bool, most_parameters> period{};        // a period: only an int takes the fast path

    ~Front() {
        Py_XDECREF(definition);
        Py_XDECREF(native_self);
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_XDECREF(names[i]);
            Py_XDECREF(defaults[i]);
        }
    }

    // The parameter of that keyword, or count where there is none.
    Py_ssize_t parameter(PyObject* keyword) const noexcept {
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (names[i] == keyword) return i;  // keywords written in the call are interned
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyUnicode_Check(keyword) && PyUnicode_Compare(names[i], keyword) == 0) return i;
        }
        return count;
    }

    // Every argument in its parameter's place, defaults filled in; false where the call is not
    // plain, and the definition should take it.
    bool bind(PyObject* const* args, Py_ssize_t given, PyObject* keywords, PyObject** bound) const noexcept {
        if (given > positional) return false;
        for (Py_ssize_t i = 0; i < count; ++i) bound[i] = i < given ? args[i] : defaults[i];
        const Py_ssize_t named = keywords ? PyTuple_GET_SIZE(keywords) : 0;
        for (Py_ssize_t k = 0; k < named; ++k) {
            const Py_ssize_t i = parameter(PyTuple_GET_ITEM(keywords, k));
            if (i == count || i < given) return false;
            bound[i] = args[given + k];
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!bound[i] || (period[i] && !PyLong_CheckExact(bound[i]))) return false;
        }
        return true;
    }
};

Front* front_of(PyObject* holder) noexcept { return *static_cast<Front**>(PyModule_GetState(holder)); }

void free_front(void* holder) {
    Front*& front = *static_cast<Front**>(PyModule_GetState(static_cast<PyObject*>(holder)));
    delete front;
    front = nullptr;
}

// The module object each function is bound to, which holds its Front: a function bound to a
// module pickles by name, as a Python function does.
PyModuleDef holder_definition = {PyModuleDef_HEAD_INIT, "brindlex_batch", nullptr, sizeof(Front*),
                                 nullptr, nullptr, nullptr, nullptr, free_front};

PyObject* call(PyObject* holder, PyObject* const* args, Py_ssize_t given, PyObject* keywords) {
    const Front& front = *front_of(holder);
    std::array<PyObject*, most_parameters> bound;
    if (!front.bind(args, given, keywords, bound.data())) {
        return PyObject_Vectorcall(front.definition, args, static_cast<std::size_t>(given), keywords);
    }
    return front.native(front.native_self, bound.data(), front.count);
}

// "name(a, b, *, c=1)\n--\n\n" and the docstring: what inspect reads as a builtin's signature.
bool describe(Front& front) {
    std::string text = front.name + "(";
    for (Py_ssize_t i = 0; i < front.count; ++i) {
        if (i != 0) text += ", ";
        if (i == front.positional) text += "*, ";
        text += PyUnicode_AsUTF8(front.names[i]);
        if (front.defaults[i]) {
            PyObject* shown = PyObject_Repr(front.defaults[i]);
            if (!shown) return false;
            text += std::string("=") + PyUnicode_AsUTF8(shown);
            Py_DECREF(shown);
        }
    }
    front.doc = text + ")\n--\n\n" + front.doc;
    return true;
}

bool read_definition(Front& front, PyObject* definition) {
    PyObject* code = PyObject_GetAttrString(definition, "__code__");
    PyObject* varnames = code ? PyObject_GetAttrString(code, "co_varnames") : nullptr;
    PyObject* positional = code ? PyObject_GetAttrString(code, "co_argcount") : nullptr;
    PyObject* keyword_only = code ? PyObject_GetAttrString(code, "co_kwonlyargcount") : nullptr;
    PyObject* defaults = PyObject_GetAttrString(definition, "__defaults__");
    PyObject* keyword_defaults = PyObject_GetAttrString(definition, "__kwdefaults__");
    PyObject* name = PyObject_GetAttrString(definition, "__name__");
    PyObject* doc = PyObject_GetAttrString(definition, "__doc__");
    bool ok = varnames && positional && keyword_only && defaults && keyword_defaults && name && doc;
    if (ok) {
        front.positional = PyLong_AsSsize_t(positional);
        front.count = front.positional + PyLong_AsSsize_t(keyword_only);
        ok = front.count <= static_cast<Py_ssize_t>(most_parameters) && !PyErr_Occurred();
        if (!ok && !PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "too many parameters");
    }
    const Py_ssize_t first_default = ok && defaults != Py_None ? front.positional - PyTuple_GET_SIZE(defaults) : 0;
    for (Py_ssize_t i = 0; ok && i < front.count; ++i) {
        PyObject* parameter = PyTuple_GET_ITEM(varnames, i);
        Py_INCREF(parameter);
        PyUnicode_InternInPlace(&parameter);
        front.names[i] = parameter;
        const std::string text = PyUnicode_AsUTF8(parameter);
        front.period[i] = text.size() >= 6 && text.compare(text.size() - 6, 6, "period") == 0;
        PyObject* value = i < front.positional
            ? (defaults != Py_None && i >= first_default ? PyTuple_GET_ITEM(defaults, i - first_default) : nullptr)
            : (keyword_defaults != Py_None ? PyDict_GetItemWithError(keyword_defaults, parameter) : nullptr);
        Py_XINCREF(value);
        front.defaults[i] = value;
        ok = !PyErr_Occurred();
    }
    if (ok) {
        front.name = PyUnicode_AsUTF8(name);
        front.doc = doc == Py_None ? "" : PyUnicode_AsUTF8(doc);
        ok = !PyErr_Occurred() && describe(front);
    }
    for (PyObject* o : {code, varnames, positional, keyword_only, defaults, keyword_defaults, name, doc}) Py_XDECREF(o);
    return ok;
}

}  // namespace

PyObject* fast_front(PyObject* definition, PyObject* native, const char* module_name) {
    if (!PyCFunction_Check(native) || PyCFunction_GET_FLAGS(native) != METH_FASTCALL) {
        PyErr_SetString(PyExc_TypeError, "fast_front: expected a METH_FASTCALL function");
        return nullptr;
    }
    PyObject* holder = PyModule_Create(&holder_definition);
    if (!holder) return nullptr;
    Front* front = new Front;
    *static_cast<Front**>(PyModule_GetState(holder)) = front;
    front->definition = Py_NewRef(definition);
    front->native = reinterpret_cast<FastCall>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(native)));
    front->native_self = Py_XNewRef(PyCFunction_GET_SELF(native));
    PyObject* result = nullptr;
    if (read_definition(*front, definition)) {
        front->method = {front->name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
                         METH_FASTCALL | METH_KEYWORDS, front->doc.c_str()};
        PyObject* module = PyUnicode_FromString(module_name);
        if (module) result = PyCFunction_NewEx(&front->method, holder, module);
        Py_XDECREF(module);
    }
    Py_DECREF(holder);  // the function holds it
    return result;
}

}  // namespace brindlex::batch
