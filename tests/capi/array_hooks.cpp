// Test hooks for NumPy access, array arguments and the borrow registry.
#include <string>
#include <vector>

#include "hooks.h"
#include "module/array_argument.h"
#include "module/borrow_registry.h"
#include "module/numpy_api.h"
#include "runtime/lock_depth.h"

namespace {

namespace m = brindlex::module;

// Each hook runs as an entry point does, so references are released at once.
struct HeldScope {
    HeldScope() noexcept { brindlex::runtime::enter_held(); }
    ~HeldScope() { brindlex::runtime::leave_held(); }
    HeldScope(const HeldScope&) = delete;
    HeldScope& operator=(const HeldScope&) = delete;
};

PyObject* raise(brindlex::runtime::PyErr error) {
    std::move(error).raise();
    return nullptr;
}

// The hooks read array fields directly, so anything else is refused before it is read.
bool require_array(PyObject* object) {
    if (m::numpy_api().is_array(object)) return true;
    PyErr_SetString(PyExc_TypeError, "expected a NumPy array");
    return false;
}

PyObject* key_tuple(const m::RegionKey& key) {
    return Py_BuildValue("(KKKL)", static_cast<unsigned long long>(key.start),
                         static_cast<unsigned long long>(key.end),
                         static_cast<unsigned long long>(key.data), static_cast<long long>(key.divisor));
}

bool parse_key(PyObject* tuple, m::RegionKey& key) {
    unsigned long long start, end, data;
    long long divisor;
    if (!PyArg_ParseTuple(tuple, "KKKL", &start, &end, &data, &divisor)) return false;
    key = m::RegionKey{start, end, data, divisor};
    return true;
}

PyObject* multiarray_module_name(PyObject*, PyObject*) {
    HeldScope held;
    auto name = m::multiarray_module_name();
    if (!name) return raise(std::move(name.error()));
    return PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
}

PyObject* is_float64_vector(PyObject*, PyObject* object) {
    HeldScope held;
    return PyBool_FromLong(m::is_float64_vector(object));
}

PyObject* is_writeable(PyObject*, PyObject* object) {
    HeldScope held;
    if (!require_array(object)) return nullptr;
    return PyBool_FromLong(m::is_writeable(object));
}

// No check of nd: the hook exists also to reach the internal failure of a wrong nd.
PyObject* vector_view(PyObject*, PyObject* object) {
    HeldScope held;
    if (!require_array(object)) return nullptr;
    m::VectorView view = m::vector_view(object);
    return Py_BuildValue("(KKLLO)", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(view.data)),
                         static_cast<unsigned long long>(view.length), static_cast<long long>(view.byte_stride),
                         static_cast<long long>(view.element_stride), view.contiguous ? Py_True : Py_False);
}

PyObject* gcd(PyObject*, PyObject* args) {
    long long a, b;
    if (!PyArg_ParseTuple(args, "LL", &a, &b)) return nullptr;
    return PyLong_FromLongLong(m::stein_gcd(a, b));
}

PyObject* region_key(PyObject*, PyObject* object) {
    HeldScope held;
    if (!require_array(object)) return nullptr;
    return key_tuple(m::region_key(object));
}

PyObject* regions_conflict(PyObject*, PyObject* args) {
    PyObject *incoming, *stored;
    if (!PyArg_ParseTuple(args, "O!O!", &PyTuple_Type, &incoming, &PyTuple_Type, &stored)) return nullptr;
    m::RegionKey first, second;
    if (!parse_key(incoming, first) || !parse_key(stored, second)) return nullptr;
    return PyBool_FromLong(m::regions_conflict(first, second));
}

PyObject* borrow_owner(PyObject*, PyObject* object) {
    HeldScope held;
    if (!require_array(object)) return nullptr;
    return Py_NewRef(m::borrow_owner(object));
}

PyObject* registry_record(PyObject*, PyObject*) {
    HeldScope held;
    return PyLong_FromVoidPtr(const_cast<m::BorrowApi*>(&m::borrow_api()));
}

PyObject* borrow_shared(PyObject*, PyObject* object) {
    HeldScope held;
    if (!require_array(object)) return nullptr;
    const m::BorrowApi& api = m::borrow_api();
    return PyLong_FromLong(api.borrow_shared(api.state, object));
}

PyObject* end_shared(PyObject*, PyObject* object) {
    HeldScope held;
    if (!require_array(object)) return nullptr;
    const m::BorrowApi& api = m::borrow_api();
    api.end_shared(api.state, object);
    Py_RETURN_NONE;
}

// None when another module created the registry: its state is not ours to read.
PyObject* borrow_counts(PyObject*, PyObject* object) {
    HeldScope held;
    if (!require_array(object)) return nullptr;
    auto counts = m::borrow_counts(m::borrow_api(), object);
    if (!counts) Py_RETURN_NONE;
    return Py_BuildValue("(nnL)", static_cast<Py_ssize_t>(counts->owners),
                         static_cast<Py_ssize_t>(counts->owner_keys), static_cast<long long>(counts->key_count));
}

bool parse_name(PyObject* args, PyObject*& object, std::string& name) {
    const char* text;
    if (!PyArg_ParseTuple(args, "Os", &object, &text)) return false;
    name = text;
    return true;
}

PyObject* extract_input(PyObject*, PyObject* args) {
    HeldScope held;
    PyObject* object;
    std::string name;
    if (!parse_name(args, object, name)) return nullptr;
    auto input = m::extract_input_array(object, name);
    if (!input) return raise(std::move(input.error()));
    Py_RETURN_NONE;
}

PyObject* extract_output(PyObject*, PyObject* args) {
    HeldScope held;
    PyObject* object;
    std::string name;
    if (!parse_name(args, object, name)) return nullptr;
    auto output = m::extract_output_array(object, name);
    if (!output) return raise(std::move(output.error()));
    Py_RETURN_NONE;
}

// hold_inputs(objects, names, callback): converts the objects as inputs in order, calls callback()
// while every borrow is held, drops them, and returns the callback's result. A failed conversion
// drops the ones taken before it, as an entry point does.
PyObject* hold_inputs(PyObject*, PyObject* args) {
    HeldScope held;
    PyObject *objects, *names, *callback;
    if (!PyArg_ParseTuple(args, "O!O!O", &PyTuple_Type, &objects, &PyTuple_Type, &names, &callback)) return nullptr;
    Py_ssize_t count = PyTuple_GET_SIZE(objects);
    if (PyTuple_GET_SIZE(names) != count) {
        PyErr_SetString(PyExc_ValueError, "one name per object");
        return nullptr;
    }
    std::vector<m::InputArray> inputs;
    inputs.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(names, i));
        if (name == nullptr) return nullptr;
        auto input = m::extract_input_array(PyTuple_GET_ITEM(objects, i), name);
        if (!input) return raise(std::move(input.error()));
        inputs.push_back(std::move(*input));
    }
    return PyObject_CallNoArgs(callback);
}

}  // namespace

namespace brindlex::testing {

PyMethodDef array_hooks[] = {
    {"multiarray_module_name", multiarray_module_name, METH_NOARGS, nullptr},
    {"is_float64_vector", is_float64_vector, METH_O, nullptr},
    {"is_writeable", is_writeable, METH_O, nullptr},
    {"vector_view", vector_view, METH_O, nullptr},
    {"gcd", gcd, METH_VARARGS, nullptr},
    {"region_key", region_key, METH_O, nullptr},
    {"regions_conflict", regions_conflict, METH_VARARGS, nullptr},
    {"borrow_owner", borrow_owner, METH_O, nullptr},
    {"registry_record", registry_record, METH_NOARGS, nullptr},
    {"borrow_shared", borrow_shared, METH_O, nullptr},
    {"end_shared", end_shared, METH_O, nullptr},
    {"borrow_counts", borrow_counts, METH_O, nullptr},
    {"extract_input", extract_input, METH_VARARGS, nullptr},
    {"extract_output", extract_output, METH_VARARGS, nullptr},
    {"hold_inputs", hold_inputs, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace brindlex::testing
