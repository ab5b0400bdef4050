// The four stream classes, each added to the module by its own function.
#pragma once

#include <nanobind/nanobind.h>

namespace brindlex_stream {

void bind_sma(nanobind::module_& m);
void bind_ema(nanobind::module_& m);
void bind_macd(nanobind::module_& m);
void bind_atr(nanobind::module_& m);

}  // namespace brindlex_stream
