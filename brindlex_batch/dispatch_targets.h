// The kernels' code paths by name, for the tests that run each one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brindlex::batch {

std::vector<std::string> available_target_names();

// "default" gives the default choice back. Raises ValueError for a name this processor has no
// path of.
void force_target_named(std::string_view name);

}  // namespace brindlex::batch
