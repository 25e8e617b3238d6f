"""geo_power on a 50-market x 104-week panel, five lifts, every method.

Prints per method the windows, the time per call, the window fits per second
(a refit path would run windows x (1 + non-zero lifts) fits; geo_power solves
each window once and re-assembles the rest) and, when the C++ benchmark is
built, both paths' times on the same panel from that one process (one solve
per window, as geo_power runs it, and the refit of every window per lift)
and their ratio:

    cmake -S . -B build/bench -DQUINTARA_BUILD_BENCH=ON && cmake --build build/bench
    python bench/bench_geo.py                # --refit-exe PATH, --reps N
"""

from __future__ import annotations

import argparse
import os
import subprocess
import tempfile
from pathlib import Path

import numpy as np

import quintara
from common import time_call

N_MARKETS, N_WEEKS, TEST_LEN = 50, 104, 8
TREATED = [3, 17, 28, 36, 44]
LIFTS = [0.0, 0.01, 0.02, 0.05, 0.1]
METHODS = ["sc", "asc", "sdid", "fp", "rsc"]
DEFAULT_EXE = Path(__file__).resolve().parent.parent / "build" / "bench" / "quintara_bench_geo"


def market_panel(seed: int = 0) -> np.ndarray:
    """Markets at their own level, a yearly cycle in weekly data with market
    amplitudes and phases, and noise whose scale differs by market."""
    rng = np.random.default_rng(seed)
    weeks = np.arange(N_WEEKS)
    level = rng.uniform(50, 500, (N_MARKETS, 1))
    amplitude = rng.uniform(0.05, 0.2, (N_MARKETS, 1)) * level
    phase = rng.normal(0, 0.3, (N_MARKETS, 1))
    noise = rng.uniform(0.01, 0.05, (N_MARKETS, 1)) * level
    season = np.sin(2 * np.pi * weeks / 52 + phase)
    return level + amplitude * season + noise * rng.standard_normal((N_MARKETS, N_WEEKS))


def path_times(exe: Path, y: np.ndarray, reps: int) -> dict[str, tuple[float, float]]:
    """Median seconds per call of the fast and the refit path, by method, from
    the C++ benchmark."""
    with tempfile.TemporaryDirectory() as tmp:
        panel = os.path.join(tmp, "panel.f64")
        np.ascontiguousarray(y, dtype="<f8").tofile(panel)
        out = subprocess.run(
            [
                str(exe),
                panel,
                str(N_MARKETS),
                str(N_WEEKS),
                str(TEST_LEN),
                ",".join(map(str, TREATED)),
                ",".join(map(repr, LIFTS)),
                str(reps),
            ],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    times = {}
    for line in out.splitlines():
        name, _windows, fast, refit = line.split()
        times[name] = (float(fast), float(refit))
    return times


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--refit-exe", type=Path, default=DEFAULT_EXE)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()

    y = market_panel()
    paths = path_times(args.refit_exe, y, args.reps) if args.refit_exe.exists() else {}
    non_zero = sum(lift != 0.0 for lift in LIFTS)
    print(
        f"{N_MARKETS} markets x {N_WEEKS} weeks, {len(TREATED)} treated, test_len {TEST_LEN}, "
        f"lifts {LIFTS}"
    )
    print(
        f"{'method':<8}{'windows':>8}{'per call':>12}{'fits/s':>10}"
        f"{'C++ fast':>12}{'C++ refit':>12}{'ratio':>8}"
    )
    for method in METHODS:
        r = quintara.geo_power(y, TREATED, TEST_LEN, LIFTS, method=method)
        seconds = time_call(
            lambda m=method: quintara.geo_power(y, TREATED, TEST_LEN, LIFTS, method=m), min_time=1.0
        )
        fits = r.n_windows * (1 + non_zero) / seconds
        line = f"{method:<8}{r.n_windows:>8}{seconds * 1e3:>10.1f}ms{fits:>10.0f}"
        if method in paths:
            fast, refit = paths[method]
            line += f"{fast * 1e3:>10.1f}ms{refit * 1e3:>10.1f}ms{refit / fast:>8.2f}"
        print(line)
    if not paths:
        print(f"(no refit figures: {args.refit_exe} not built)")


if __name__ == "__main__":
    main()
