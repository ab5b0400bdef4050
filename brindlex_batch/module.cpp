// The extension of brindlex_batch: many series per call.
#include <nanobind/nanobind.h>

NB_MODULE(_native, m) { m.doc() = "Many series per call, bit for bit as brindlex computes each."; }
