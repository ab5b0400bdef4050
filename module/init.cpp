// Module initialisation: the one exported symbol, creating the module once per process.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string_view>

#include "module/entry_points.h"
#include "runtime/once_cell.h"
#include "runtime/internal_failure.h"
#include "runtime/lock_depth.h"
#include "runtime/owned.h"
#include "runtime/py_err.h"

namespace brindlex::module {
namespace {

using runtime::Owned;
using runtime::PyErr;
using runtime::Result;
using runtime::Status;

// The fast call with keywords; the interpreter's own name for this type differs between versions.
using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

struct MethodRecord {
    const char* name;
    FastCallWithKeywords entry;
    const char* doc;
};

// Each text is a signature and nothing else: the interpreter turns it into __text_signature__
// and leaves __doc__ None.
constexpr MethodRecord method_records[] = {
    {"indicator_sma", indicator_sma, "indicator_sma(period, data, output)\n--\n\n"},
    {"indicator_ema", indicator_ema, "indicator_ema(period, data, output)\n--\n\n"},
    {"indicator_macd", indicator_macd,
     "indicator_macd(fast_period, slow_period, signal_period, data, macd_output, signal_output, "
     "hist_output)\n--\n\n"},
    {"indicator_atr", indicator_atr, "indicator_atr(period, high, low, close, output)\n--\n\n"},
};

constexpr std::string_view subinterpreter_message =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/brindlex/brindlex/issues/1";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "brindlex", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> recorded_interpreter{-1};
runtime::OnceCell module_cell;
runtime::OnceCell name_attribute;
runtime::OnceCell all_attribute;

PyObject* interned(runtime::OnceCell& cell, std::string_view text) noexcept {
    return cell.get_or_init([text] {
        PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (name == nullptr) runtime::fail_after_interpreter_error();
        PyUnicode_InternInPlace(&name);
        return name;
    });
}

Result<Owned> new_function(const MethodRecord& record, PyObject* module) noexcept {
    Owned module_name(PyModule_GetNameObject(module));
    if (!module_name) return runtime::failure(runtime::fetch_exception());
    // The function object points at its definition for ever, so it is never freed.
    // The flags tell the interpreter the real signature; PyMethodDef stores it as PyCFunction.
    auto* definition = new PyMethodDef{
        record.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record.entry)),
        METH_FASTCALL | METH_KEYWORDS, record.doc};
    Owned function(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) return runtime::failure(runtime::fetch_exception());
    return function;
}

// The module's __all__, created empty when it has none yet.
Result<Owned> all_list(PyObject* module) noexcept {
    PyObject* all_name = interned(all_attribute, "__all__");
    Owned all(PyObject_GetAttr(module, all_name));
    if (all) {
        if (!PyList_Check(all.get())) return runtime::failure(PyErr::downcast(all.get(), "PyList"));
        return all;
    }
    PyErr error = runtime::fetch_exception();
    if (!PyErr_GivenExceptionMatches(error.instance(), PyExc_AttributeError)) {
        return runtime::failure(std::move(error));
    }
    Owned created(PyList_New(0));
    if (!created) return runtime::failure(runtime::fetch_exception());
    if (PyObject_SetAttr(module, all_name, created.get()) == -1) {
        return runtime::failure(runtime::fetch_exception());
    }
    return created;
}

Status add_function(PyObject* module, Owned function) noexcept {
    Owned name(PyObject_GetAttr(function.get(), interned(name_attribute, "__name__")));
    if (!name) return runtime::failure(runtime::fetch_exception());
    if (!PyUnicode_Check(name.get())) return runtime::failure(PyErr::downcast(name.get(), "PyString"));
    auto all = all_list(module);
    if (!all) return runtime::failure(std::move(all.error()));
    if (PyList_Append(all->get(), name.get()) == -1) {
        runtime::internal_failure("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) == -1) {
        return runtime::failure(runtime::fetch_exception());
    }
    return {};
}

Status init_module_body(PyObject* module) noexcept {
    for (const MethodRecord& record : method_records) {
        auto function = new_function(record, module);
        if (!function) return runtime::failure(std::move(function.error()));
        if (auto added = add_function(module, std::move(*function)); !added) return added;
    }
    return {};
}

Result<PyObject*> make_module() noexcept {
    Owned module(PyModule_Create2(&module_definition, 1013));
    if (!module) return runtime::failure(runtime::fetch_exception());
    if (auto body = init_module_body(module.get()); !body) return runtime::failure(std::move(body.error()));
    // Another initialisation may have finished first; the earlier module stays.
    return module_cell.get_or_init([&] { return module.release(); });
}

Result<PyObject*> initialise() noexcept {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return runtime::failure(runtime::fetch_exception());
    std::int64_t expected = -1;
    if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        return runtime::failure(PyErr::import_error(std::string(subinterpreter_message)));
    }
    if (PyObject* module = module_cell.get()) return module;
    return make_module();
}

}  // namespace
}  // namespace brindlex::module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_brindlex() {
    using namespace brindlex;
    runtime::enter_held();
    PyObject* result = nullptr;
    auto module = module::initialise();
    if (module) {
        result = Py_NewRef(*module);
    } else {
        std::move(module.error()).raise();
    }
    runtime::leave_held();
    return result;
}
