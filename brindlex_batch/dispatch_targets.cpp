// The kernels' code paths by name, for the tests that run each one.
#include "dispatch_targets.h"

#include <nanobind/nanobind.h>

#include <string>

#include "core/many/kernels.h"

namespace brindlex::batch {
namespace {

std::string_view name_of(core::Target target) noexcept {
    switch (target) {
        case core::Target::scalar: return "scalar";
        case core::Target::sse2: return "sse2";
        case core::Target::avx2: return "avx2";
        case core::Target::avx512: return "avx512";
        case core::Target::neon: return "neon";
    }
    return "unknown";
}

}  // namespace

std::vector<std::string> available_target_names() {
    std::vector<std::string> names;
    for (const core::Target target : core::available_targets()) names.emplace_back(name_of(target));
    return names;
}

void force_target_named(std::string_view name) {
    if (name == "default") return core::use_default_targets();
    for (const core::Target target : core::available_targets()) {
        if (name_of(target) == name) return core::force_target(target);
    }
    throw nanobind::value_error(("no code path named '" + std::string(name) + "' on this processor").c_str());
}

}  // namespace brindlex::batch
