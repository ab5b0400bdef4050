// The method tables that each group of test hooks contributes to the test-only extension.
#pragma once

#include <Python.h>

namespace brindlex::testing {

// Each table ends with a zeroed sentinel entry.
extern PyMethodDef runtime_hooks[];
extern PyMethodDef array_hooks[];

}  // namespace brindlex::testing
