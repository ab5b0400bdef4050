// The extension of brindlex_stream: one bar at a time.
#include <nanobind/nanobind.h>

NB_MODULE(_native, m) { m.doc() = "One bar at a time, bit for bit as brindlex computes the whole series."; }
