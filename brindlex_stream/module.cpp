// The extension of brindlex_stream: one bar at a time.
#include "classes.h"

NB_MODULE(_native, m) {
    m.doc() = "One bar at a time, bit for bit as brindlex computes the whole series.";
    brindlex_stream::bind_sma(m);
    brindlex_stream::bind_ema(m);
    brindlex_stream::bind_macd(m);
    brindlex_stream::bind_atr(m);
}
