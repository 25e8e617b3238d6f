"""MC-NNM against causaltensor's `MC_NNM_with_l` at the same given penalty.

Both fit two-way fixed effects plus a nuclear-norm penalised low-rank part
on the factor panels of bench/bench_mcnnm.py (N/10 treated units, the last
quarter of periods missing for them) and report the ATT and the CPU time.
causaltensor stops at a relative change of 1e-7 and thresholds with
numpy's LAPACK SVD; quintara at its default 1e-5 and its Golub-Kahan SVD, so
the ATTs agree to the looser of the two tolerances, not to rounding.

Each implementation runs in the interpreter given for it, so causaltensor
can live in its own environment:

    python bench/peers/mcnnm.py --peer-python ../ct-env/bin/python
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

SIZES = [(500, 150), (1000, 200)]
LAMBDA = 2.0  # in outcome units; the factor panels' noise sits well below it


def panel(n: int, t: int):  # noqa: ANN201
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    from common import factor_panel

    y, t0 = factor_panel(n, t), 3 * t // 4
    return y, list(range(max(1, n // 10))), t0


def run_one(impl: str, n: int, t: int) -> dict[str, object]:
    import numpy as np

    y, treated, t0 = panel(n, t)
    start = time.process_time()
    if impl == "quintara":
        import quintara

        att = quintara.fit_mcnnm(y, treated, t0, lambda_=LAMBDA).att
        version = quintara.version()
    else:
        import importlib.metadata

        from causaltensor.cauest.MCNNM import MC_NNM_with_l

        z = np.zeros_like(y)
        z[treated, t0:] = 1.0
        tau = MC_NNM_with_l(y, 1.0 - z, LAMBDA)[3]  # the effect on the treated cells
        att = float(np.mean(tau))
        version = importlib.metadata.version("causaltensor")
    return {"att": float(att), "seconds": time.process_time() - start, "version": version}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--peer-python", default=sys.executable)
    ap.add_argument("--one", nargs=3, metavar=("IMPL", "N", "T"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.one:
        impl, n, t = args.one[0], int(args.one[1]), int(args.one[2])
        print(json.dumps(run_one(impl, n, t)))
        return
    print(f"MC-NNM at lambda = {LAMBDA}, factor panels, t0 = 3T/4, N/10 treated")
    for n, t in SIZES:
        row = {}
        for impl, python in (("quintara", sys.executable), ("causaltensor", args.peer_python)):
            cmd = [python, __file__, "--one", impl, str(n), str(t)]
            out = subprocess.run(cmd, capture_output=True, text=True, check=False)
            row[impl] = json.loads(out.stdout) if out.returncode == 0 else {"error": out.stderr}
        q, c = row["quintara"], row["causaltensor"]
        if "error" in c:
            print(f"  {n} x {t}: causaltensor failed: {str(c['error']).strip().splitlines()[-1]}")
            continue
        print(
            f"  {n} x {t}: quintara {q['version']} {q['seconds']:.2f} s ATT {q['att']:.6f}; "
            f"causaltensor {c['version']} {c['seconds']:.2f} s ATT {c['att']:.6f}; "
            f"|diff| {abs(q['att'] - c['att']):.2e}"
        )


if __name__ == "__main__":
    main()
