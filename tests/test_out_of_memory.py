"""Running out of memory in a companion's call raises MemoryError and changes nothing: no output
written, no stream advanced. Each case runs in a child process under an address-space limit, as job
schedulers set one, so that an abort ends only the child."""

import subprocess
import sys

import pytest

from conftest import EMULATED, SANITIZED

# The call's own scratch memory (run order, gathered series) or its result is what cannot fit: the
# child sets the limit just above what it uses once its arguments exist.
CALLS = {
    "batch, lengths": "bb.ema(x, 2, lengths=ones, out=outs[0])",
    "batch, lengths, 2 threads": "bb.sma(x, 3, lengths=ones, out=outs[0], threads=2)",
    # A slow period whose window per group outgrows row-by-row streams: gathered group by group.
    "batch, groups interleaved": "bb.macd(x, 3, 2 * 10**6, 2, groups=codes, out=tuple(outs))",
    "batch, groups in no order, row by row": "bb.sma(x, 3, groups=shuffled, out=outs[0])",
    "batch, groups sparse, 2 threads": "bb.atr(x, x, x, 3, groups=sparse, out=outs[0], threads=2)",
    "batch, strided series": "bb.macd(x[::2], 3, 5, 2, out=tuple(o[::2] for o in outs))",
    "batch, strided bars": "bb.atr(x[::2], x[::2], x[::2], 3, out=outs[0][::2])",
    "stream update_many": "streams[0].update_many(x)",
    "stream update_many, MACD": "streams[1].update_many(x)",
    "stream update_many, ATR": "streams[2].update_many(x, x, x)",
}

CHILD = """if True:
    import resource
    import numpy as np, brindlex_batch as bb, brindlex_stream as bs
    n = 10**7
    x, ones = np.ones(n), np.ones(n, dtype=np.uint64)
    codes = np.arange(n, dtype=np.uint64) % np.uint64(7)
    sparse = codes * np.uint64(10**12)
    shuffled = np.random.default_rng(0).integers(0, n // 20, n, dtype=np.uint64)
    outs = [np.full(n, 3.0) for _ in range(3)]
    streams = [bs.Ema(3), bs.Macd(3, 5, 2), bs.Atr(3)]
    streams[0].update_many(np.arange(9.0)); streams[1].update_many(np.arange(9.0))
    streams[2].update_many(*[np.arange(9.0)] * 3)
    states = [s.__getstate__() for s in streams]
    with open("/proc/self/status") as status:
        used = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
    limit = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + n, limit[1]))
    try:
        CALL
    except MemoryError:
        pass
    else:
        raise SystemExit("no MemoryError")
    resource.setrlimit(resource.RLIMIT_AS, limit)
    assert all((o == 3.0).all() for o in outs), "an output was written"
    assert [s.__getstate__() for s in streams] == states, "a stream moved"
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves far more address space than any limit here")
@pytest.mark.skipif(EMULATED, reason="qemu-user applies no address-space limit to the program it runs")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_running_out_of_memory_raises_memory_error_and_changes_nothing(call):
    child = subprocess.run([sys.executable, "-P", "-c", CHILD.replace("CALL", call)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
