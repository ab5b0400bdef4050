// The classes Sma and Ema: moving averages, one bar at a time.
#include "classes.h"
#include "core/stream/ema_stream.h"
#include "core/stream/sma_stream.h"
#include "one_input_class.h"

namespace brindlex_stream {

void bind_sma(nb::module_& m) {
    bind_one_input<brindlex::core::stream::SmaStream>(
        m, {"Sma", "@typing.final\nclass Sma()",
            "Simple moving average of the last `period` bars, one bar at a time.\n\n"
            "Every value equals what brindlex.indicator_sma gives at that position over all the bars\n"
            "committed so far, bit for bit. Memory: the last `period` bars (only those seen so far).",
            "update($self, x, /)\n--\n\nCommits the bar `x` and returns the new average (NaN while fewer "
            "than `period` bars have come)."});
}

void bind_ema(nb::module_& m) {
    bind_one_input<brindlex::core::stream::EmaStream>(
        m, {"Ema", "@typing.final\nclass Ema()",
            "Exponential moving average with weight 2 / (period + 1), one bar at a time.\n\n"
            "Every value equals what brindlex.indicator_ema gives at that position over all the bars\n"
            "committed so far, bit for bit. Memory: O(1) whatever the period.",
            "update($self, x, /)\n--\n\nCommits the bar `x` and returns the new average (NaN before the "
            "seed, and for a NaN or infinite bar, which is skipped)."});
}

}  // namespace brindlex_stream
