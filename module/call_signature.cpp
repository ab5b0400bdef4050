// Binding a fast call's arguments to a CallSignature, with the interpreter's own TypeError texts.
#include "call_signature.h"

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/internal_failure.h"
#include "runtime/object_text.h"

namespace brindlex::module {
namespace {

using runtime::PyErr;

std::string display_name(const CallSignature& sig) {
    std::string text;
    if (!sig.class_name.empty()) {
        text.append(sig.class_name);
        text.push_back('.');
    }
    text.append(sig.function_name);
    text.append("()");
    return text;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
template <class Names>
std::string name_list(const Names& names) {
    std::string text;
    const std::size_t n = names.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) {
            if (n > 2) text.push_back(',');
            text.append(k + 1 == n ? " and " : " ");
        }
        text.push_back('\'');
        text.append(names[k]);
        text.push_back('\'');
    }
    return text;
}

[[gnu::cold]] PyErr too_many_positional(const CallSignature& sig, Py_ssize_t given) {
    std::string text = display_name(sig);
    const std::size_t count = sig.positional.size();
    if (sig.required_positional == count) {
        text += " takes " + std::to_string(count);
    } else {
        text += " takes from " + std::to_string(sig.required_positional) + " to " +
                std::to_string(count);
    }
    text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
            " given";
    return PyErr::type_error(std::move(text));
}

[[gnu::cold]] PyErr multiple_values(const CallSignature& sig, std::string_view name) {
    return PyErr::type_error(display_name(sig) + " got multiple values for argument '" +
                             std::string(name) + "'");
}

// The name is shown by its str form, so that one which could not be decoded still appears.
[[gnu::cold]] PyErr unexpected_keyword(const CallSignature& sig, PyObject* name) {
    return PyErr::type_error(display_name(sig) + " got an unexpected keyword argument '" +
                             runtime::str_text(name) + "'");
}

[[gnu::cold]] PyErr positional_only_by_keyword(const CallSignature& sig,
                                               const std::vector<std::string_view>& names) {
    return PyErr::type_error(display_name(sig) +
                             " got some positional-only arguments passed as keyword arguments: " +
                             name_list(names));
}

[[gnu::cold]] PyErr missing(const CallSignature& sig, std::string_view kind,
                            const std::vector<std::string_view>& names) {
    const std::size_t n = names.size();
    return PyErr::type_error(display_name(sig) + " missing " + std::to_string(n) + " required " +
                             std::string(kind) + (n == 1 ? " argument: " : " arguments: ") +
                             name_list(names));
}

// Length first, then bytes: no hashing, interning or case folding.
template <class Names, class Project>
std::size_t find_name(const Names& names, std::string_view wanted, Project project) {
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::string_view candidate = project(names[k]);
        if (candidate.size() == wanted.size() && candidate == wanted) return k;
    }
    return names.size();
}

[[gnu::cold]] PyErr missing_positional(const CallSignature& sig, std::span<PyObject*> slots) {
    std::vector<std::string_view> names;
    for (std::size_t k = 0; k < sig.required_positional; ++k) {
        if (slots[k] == nullptr) names.push_back(sig.positional[k]);
    }
    return missing(sig, "positional", names);
}

bool has_missing_positional(const CallSignature& sig, Py_ssize_t nargs, std::span<PyObject*> slots) {
    if (static_cast<std::size_t>(nargs) >= sig.required_positional) return false;
    for (std::size_t k = static_cast<std::size_t>(nargs); k < sig.required_positional; ++k) {
        if (slots[k] == nullptr) return true;
    }
    return false;
}

runtime::Status check_keyword_only(const CallSignature& sig, std::span<PyObject*> slots) {
    std::vector<std::string_view> names;
    const std::size_t base = sig.positional.size();
    for (std::size_t j = 0; j < sig.keyword_only.size(); ++j) {
        if (sig.keyword_only[j].required && slots[base + j] == nullptr) {
            names.push_back(sig.keyword_only[j].name);
        }
    }
    if (names.empty()) return {};
    return runtime::failure(missing(sig, "keyword", names));
}

// Binds one keyword argument; positional-only parameters given by keyword are collected instead.
runtime::Status bind_keyword(const CallSignature& sig, PyObject* name, PyObject* value,
                             std::span<PyObject*> slots,
                             std::vector<std::string_view>& positional_only_names) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &length);
    if (utf8 == nullptr) {
        (void)runtime::current_exception();  // the encoding error is not the caller's business
        return runtime::failure(unexpected_keyword(sig, name));
    }
    const std::string_view text(utf8, static_cast<std::size_t>(length));
    const std::size_t count = sig.positional.size();
    std::size_t slot = count + find_name(sig.keyword_only, text,
                                         [](const KeywordOnlyParameter& p) { return p.name; });
    if (slot == count + sig.keyword_only.size()) {
        const std::size_t i = find_name(sig.positional, text, [](std::string_view p) { return p; });
        if (i == count) return runtime::failure(unexpected_keyword(sig, name));
        if (i < sig.positional_only) {
            positional_only_names.push_back(sig.positional[i]);
            return {};
        }
        slot = i;
    }
    if (slots[slot] != nullptr) return runtime::failure(multiple_values(sig, text));
    slots[slot] = value;
    return {};
}

}  // namespace

runtime::Status bind_call(const CallSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, std::span<PyObject*> slots) noexcept {
    const std::size_t count = sig.positional.size();
    if (args != nullptr) {
        const std::size_t given = std::min(static_cast<std::size_t>(nargs), count);
        for (std::size_t k = 0; k < given; ++k) slots[k] = args[k];
    }
    if (static_cast<std::size_t>(nargs) > count) {
        return runtime::failure(too_many_positional(sig, nargs));
    }
    std::vector<std::string_view> positional_only_names;  // stays without storage unless misused
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            if (name == nullptr) runtime::fail_after_interpreter_error();
            auto bound = bind_keyword(sig, name, args[nargs + k], slots, positional_only_names);
            if (!bound) return bound;
        }
    }
    if (!positional_only_names.empty()) {
        return runtime::failure(positional_only_by_keyword(sig, positional_only_names));
    }
    if (has_missing_positional(sig, nargs, slots)) {
        return runtime::failure(missing_positional(sig, slots));
    }
    return check_keyword_only(sig, slots);
}

}  // namespace brindlex::module
