// The private function group_string_keys, which the DataFrame fronts call on a column of keys.
#pragma once

#include <nanobind/nanobind.h>

namespace brindlex::batch {

void define_group_keys(nanobind::module_& m);

}  // namespace brindlex::batch
