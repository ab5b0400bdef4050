// The test-only extension "_brindlex_testing": one module holding every group of test hooks.
#include <vector>

#include "hooks.h"

namespace {

std::vector<PyMethodDef>& all_methods() {
    static std::vector<PyMethodDef> methods;
    return methods;
}

void append(PyMethodDef* table) {
    for (; table->ml_name != nullptr; ++table) all_methods().push_back(*table);
}

PyModuleDef testing_module = {PyModuleDef_HEAD_INIT, "_brindlex_testing", "", -1, nullptr,
                              nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__brindlex_testing() {
    if (all_methods().empty()) {
        append(brindlex::testing::runtime_hooks);
        append(brindlex::testing::array_hooks);
        all_methods().push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    }
    testing_module.m_methods = all_methods().data();
    return PyModule_Create(&testing_module);
}
