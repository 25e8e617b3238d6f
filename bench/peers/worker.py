"""One (case, implementation) of the peer benchmark, in its own process.

`worker.py --list` prints every pair, tab-separated; `worker.py CASE IMPL
REPEATS` builds the case's data (not timed), calls the implementation once to
warm up, then REPEATS more times, and prints one JSON line: the median
seconds, the estimate and the implementation's version.
"""

from __future__ import annotations

import json
import statistics
import sys
import time
import warnings

import cases


def main() -> None:
    if sys.argv[1] == "--list":
        for name, case in cases.CASES.items():
            for impl in case.impls:
                print(f"{name}\t{impl}")
        return
    name, impl, repeats = sys.argv[1], sys.argv[2], int(sys.argv[3])
    warnings.simplefilter("ignore")
    case = cases.CASES[name]
    try:
        fit = case.impls[impl](case.data())
        estimate = float(fit())  # warm-up; also the value reported
        times = []
        for _ in range(repeats):
            t0 = time.perf_counter()
            fit()
            times.append(time.perf_counter() - t0)
            if sum(times) > 20.0:  # slow peers: a few calls are enough for a median
                break
        out = {
            "seconds": statistics.median(times),
            "estimate": estimate,
            "version": cases.version(impl),
        }
    except Exception as e:  # a peer's failure is a table entry, not a crash
        out = {"error": f"{type(e).__name__}: {e}".replace("\n", " ")[:90]}
    print(json.dumps(out), flush=True)


if __name__ == "__main__":
    main()
