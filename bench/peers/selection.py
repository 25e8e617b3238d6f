"""Market selection timed against the geo-experiment design packages that
install from PyPI, on the same generated weekly market panels.

Each (panel, implementation) runs in its own process of the peer
environment under a wall-clock cap: the panel and the implementation's input
are prepared untimed, the selection is called once to warm up (its chosen set
is the one reported), then timed `--repeats` times (fewer once 20 s have been
spent); the median is reported. Each peer row is paired with a quintara call
of the same design as far as the peer can express it (the same test length,
target lift, treated-set sizes, candidate count and lookback windows), made
through the labelled `quintara.select_markets`.

Run: python bench/peers/selection.py [--env DIR] [--skip-install] [--panels 40x104,210x104]
     [--only PEER] [--timeout SECONDS] [--repeats N]

It is a benchmark, not a test: nothing in CI runs it.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]

TEST_LEN = 4  # weeks
MAX_TREATED = 5  # treated sets of 1..5 markets
TARGET_LIFT = 0.05
# quintara scores its power curve at 0, 0.5, 1, 1.5 and 2 x the target lift;
# the peers that take an effect grid get the same one.
EFFECT_GRID = [0.0, 0.025, 0.05, 0.075, 0.1]
QUINTARA_CANDIDATES, QUINTARA_LOOKBACK = 200, 26
# mlsynth and geoexp refit every candidate on every placebo window with a
# conformal test of 1000 permutations; their default of one window keeps a
# call in minutes (26 windows did not finish one size in five minutes).
PEER_LOOKBACK = 1
GEOEXP_PER_SIZE = 40  # x 5 sizes = quintara's 200 candidates

DISTRIBUTIONS = {
    "quintara": "quintara",
    "meridian-geox": "meridian-geox",
    "mlsynth": "mlsynth",
    "geoexp": "geoexp",
}

# Result of one selection call: the chosen treated markets, the power at the
# target lift and the minimal detectable effect where the implementation
# reports them (None otherwise).
Pick = dict[str, Any]


# ---------------------------------------------------------------- data


def panel(spec: str) -> tuple[Any, list[str]]:
    """`spec` "NxT": the weekly market panel of bench_select.py and the
    market names."""
    sys.path.insert(0, str(HERE.parent))
    from bench_select import market_panel

    n, t = (int(s) for s in spec.split("x"))
    return market_panel(n, t), [f"m{i:03d}" for i in range(n)]


def long_pandas(y: Any, names: list[str], time_col: Any) -> Any:
    import numpy as np
    import pandas as pd

    n, t = y.shape
    return pd.DataFrame({"unit": np.repeat(names, t), "time": np.tile(time_col, n), "y": y.ravel()})


# ---------------------------------------------------------------- quintara


def quintara_call(y: Any, names: list[str], n_candidates: int, lookback: int) -> Callable[[], Pick]:
    import pandas as pd

    import quintara

    weeks = pd.date_range("2024-01-07", periods=y.shape[1], freq="W")
    p = quintara.Panel(y, names, weeks)

    def call() -> Pick:
        sel = quintara.select_markets(
            p,
            max_treated=MAX_TREATED,
            test_len=TEST_LEN,
            target_lift=TARGET_LIFT,
            method="sdid",
            n_candidates=n_candidates,
            lookback=lookback,
            progress=False,
        )
        best = sel.candidates.iloc[0]
        return {
            "treated": sorted(map(str, best["markets"])),
            "power": float(best["power"]),
            "mde": float(best["mde"]),
        }

    return call


# ---------------------------------------------------------------- peers


def geox_call(y: Any, names: list[str]) -> Callable[[], Pick]:
    """meridian-geox (Google's GeoX), `run_design` with its TBR default.

    It rejects weekly data ("Weekly patterns are not supported") and counts
    the test in days, so the weeks are relabelled as consecutive days and the
    test is 4 days: the same 4 periods of 104. It has no treated-set size,
    only a cap on the treated share of volume (default 30%); the cap is set
    to 5 markets' share of an average market. It has no target lift: it
    reports each design's MDE at 80% power, not a power at 5%.
    """
    import logging

    import meridian_geox as gx
    import pandas as pd

    logging.getLogger().setLevel(logging.ERROR)  # a budget warning per call
    days = pd.date_range("2024-01-01", periods=y.shape[1], freq="D")
    df = long_pandas(y, names, days).rename(
        columns={"unit": "location", "time": "date", "y": "conversions"}
    )
    config = gx.DesignConfig(experiment_duration=f"{TEST_LEN}D")
    constraints = gx.Constraints(max_conversions_percent=MAX_TREATED / len(names))

    def call() -> Pick:
        ds = gx.run_design(df, config, constraints)
        top = ds.design_metrics.iloc[0]  # ranked by MDE
        cell = ds.designs[str(top["design_id"])].designs["cell_1"]
        return {
            "treated": sorted(cell.treatment_geos),
            "power": None,
            "mde": float(cell.minimum_detectable_effect),
        }

    return call


def mlsynth_call(y: Any, names: list[str]) -> Callable[[], Pick]:
    """mlsynth's GEOLIFT. It takes one treatment size a run, so the call runs
    sizes 1..5 and keeps the winner with the smallest MDE (the smaller set on
    a tie); its candidates are each market with its most correlated
    neighbours (one set per market and size). Its MDE is the smallest grid
    effect reaching 80% power; it reports no power at one lift."""
    import numpy as np
    from mlsynth import GEOLIFT

    df = long_pandas(y, names, np.arange(y.shape[1]))

    def call() -> Pick:
        best: Pick | None = None
        for size in range(1, MAX_TREATED + 1):
            r = GEOLIFT(
                {
                    "df": df,
                    "outcome": "y",
                    "unitid": "unit",
                    "time": "time",
                    "treatment_size": size,
                    "durations": [TEST_LEN],
                    "effect_sizes": EFFECT_GRID,
                    "lookback_window": PEER_LOOKBACK,
                    "display_graphs": False,
                }
            ).fit()
            mde = r.metadata.get("winner_mde")
            if r.selected_units is None or mde is None:
                continue
            if best is None or mde < best["mde"]:
                best = {"treated": list(r.selected_units), "power": None, "mde": float(mde)}
        return best or {"treated": [], "power": None, "mde": None}

    return call


def geoexp_call(y: Any, names: list[str]) -> Callable[[], Pick]:
    """geoexp: `enumerate_candidates` (its similarity-ordered sets, 40 per
    size 1..5) then `rank_designs` with augsynth-py's ASC at a frozen ridge
    penalty (its documented advice for candidate grids), parallel across
    candidates. Its MDE is interpolated off the power curve."""
    import numpy as np
    import polars as pl
    from augsynth_py import AugSynth
    from geoexp import enumerate_candidates, rank_designs

    n, t = y.shape
    frame = pl.DataFrame(
        {"unit": np.repeat(names, t), "time": np.tile(np.arange(t), n), "y": y.ravel()}
    )
    cols = {"unit": "unit", "time": "time", "outcome": "y"}

    def call() -> Pick:
        cands = enumerate_candidates(
            frame, sizes=list(range(1, MAX_TREATED + 1)), max_per_size=GEOEXP_PER_SIZE, **cols
        )
        res = rank_designs(
            frame,
            estimator=AugSynth(lambda_=1.0),
            candidates=cands,
            durations=TEST_LEN,
            lookback_window=PEER_LOOKBACK,
            target_effect_size=TARGET_LIFT,
            effect_sizes=EFFECT_GRID,
            rng=np.random.default_rng(0),
            n_jobs=-1,
            **cols,
        )
        top = res.ranking.row(0, named=True)
        return {
            "treated": sorted(res.candidates[top["candidate"]]),
            "power": top["power_at_target"],
            "mde": top["mde"],
        }

    return call


def mlsynth_candidates(n: int) -> int:
    return n * MAX_TREATED  # one set per anchor market and size


PEERS: dict[
    str, tuple[Callable[[Any, list[str]], Callable[[], Pick]], Callable[[int], int], int]
] = {
    # peer -> (its call, candidates quintara scores beside it, quintara's lookback)
    "meridian-geox": (geox_call, lambda n: QUINTARA_CANDIDATES, QUINTARA_LOOKBACK),
    "mlsynth": (mlsynth_call, mlsynth_candidates, PEER_LOOKBACK),
    "geoexp": (geoexp_call, lambda n: GEOEXP_PER_SIZE * MAX_TREATED, PEER_LOOKBACK),
}

DESIGNS = {
    "meridian-geox": "TBR, 4 days = 4 periods, share cap 5/n, 100 of 100k scored",
    "mlsynth": f"GEOLIFT sizes 1-5, lookback {PEER_LOOKBACK}",
    "geoexp": f"ASC, 40 per size 1-5, lookback {PEER_LOOKBACK}",
}


# ---------------------------------------------------------------- worker


def worker(spec: str, impl: str, repeats: int) -> None:
    """One (panel, implementation) in this process; prints one JSON line.
    `impl` is a peer or "quintara:<peer>" (quintara at that peer's design)."""
    import warnings
    from importlib import metadata

    warnings.simplefilter("ignore")
    dist = "quintara" if impl.startswith("quintara:") else DISTRIBUTIONS[impl]
    try:
        version = metadata.version(dist)
    except metadata.PackageNotFoundError:
        version = "?"
    try:
        y, names = panel(spec)
        if impl.startswith("quintara:"):
            _, n_cands, lookback = PEERS[impl.split(":", 1)[1]]
            call = quintara_call(y, names, n_cands(len(names)), lookback)
        else:
            call = PEERS[impl][0](y, names)
        pick = call()  # warm-up; also the set reported
        times: list[float] = []
        for _ in range(repeats):
            t0 = time.perf_counter()
            call()
            times.append(time.perf_counter() - t0)
            if sum(times) > 20.0:  # slow peers: a few calls are enough for a median
                break
        out = {"seconds": statistics.median(times), "version": version, **pick}
    except Exception as e:  # a peer's failure is a table entry, not a crash
        out = {"error": f"{type(e).__name__}: {e}".replace("\n", " ")[:90], "version": version}
    print(json.dumps(out), flush=True)


# ---------------------------------------------------------------- driver


def env_python(env: Path) -> Path:
    return env / ("Scripts/python.exe" if os.name == "nt" else "bin/python")


def install(env: Path) -> dict[str, str]:
    """Creates the environment if needed and installs each peer of
    requirements-geo.txt and quintara; returns the failures."""
    if not env_python(env).exists():
        subprocess.run([sys.executable, "-m", "venv", str(env)], check=True)
    py = str(env_python(env))
    lines = (HERE / "requirements-geo.txt").read_text().splitlines()
    reqs = [s.split("#")[0].strip() for s in lines if s.split("#")[0].strip()]
    failed: dict[str, str] = {}
    for req in reqs + [str(ROOT)]:
        name = "quintara" if req == str(ROOT) else req
        print(f"installing {name} ...", flush=True)
        r = subprocess.run([py, "-m", "pip", "install", "-q", req], capture_output=True, text=True)
        if r.returncode != 0:
            failed[name] = "\n".join((r.stdout + r.stderr).strip().splitlines()[-3:])
            print(f"  failed: {failed[name]}", flush=True)
    return failed


def run_one(env: Path, spec: str, impl: str, timeout: float, repeats: int) -> dict:
    cmd = [
        str(env_python(env)),
        str(Path(__file__).resolve()),
        "--worker",
        spec,
        impl,
        str(repeats),
    ]
    start = time.perf_counter()
    # Its own process group: joblib's workers would outlive a timeout.
    proc = subprocess.Popen(
        cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True
    )
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return {"error": f"timeout > {timeout:.0f} s"}
    for line in reversed(out.splitlines()):
        if line.startswith("{"):
            return json.loads(line)
    tail = (err.strip().splitlines() or ["no output"])[-1]
    return {"error": f"{tail[:70]} ({time.perf_counter() - start:.0f} s)"}


def fmt_time(s: float | None) -> str:
    if s is None:
        return "-"
    return f"{s * 1e3:.0f} ms" if s < 1.0 else f"{s:.2f} s"


def fmt_pick(r: dict) -> str:
    if "error" in r:
        return r["error"]
    power = "-" if r.get("power") is None else f"{r['power']:.2f}"
    mde = "-" if r.get("mde") is None else f"{100 * r['mde']:.1f}%"
    return f"{','.join(r.get('treated', [])) or '-'} (power {power}, MDE {mde})"


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--env", type=Path, default=HERE / ".venv-geo", help="virtual environment dir")
    ap.add_argument("--skip-install", action="store_true", help="reuse the environment as is")
    ap.add_argument("--panels", default="40x104,210x104", help="markets x weeks, comma-separated")
    ap.add_argument("--only", default="", help="run only the peers whose name contains this")
    ap.add_argument("--timeout", type=float, default=300.0, help="seconds per process")
    ap.add_argument("--repeats", type=int, default=3, help="timed calls per process (median)")
    args = ap.parse_args()
    env = args.env.resolve()
    failed = {} if args.skip_install else install(env)

    rows = []
    for spec in args.panels.split(","):
        for peer in (p for p in PEERS if args.only in p):
            res = {}
            for impl in (peer, f"quintara:{peer}"):
                res[impl] = r = run_one(env, spec, impl, args.timeout, args.repeats)
                print(f"  {spec:<8} {impl:<24} {fmt_time(r.get('seconds')):>9} {fmt_pick(r)}")
            rows.append((spec, peer, res[peer], res[f"quintara:{peer}"]))

    print()
    print(
        "| panel | peer | its design | peer time | quintara | ratio | peer's set | quintara's set |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for spec, peer, p, q in rows:
        ratio = (
            f"{p['seconds'] / q['seconds']:.3g}x" if p.get("seconds") and q.get("seconds") else "-"
        )
        print(
            f"| {spec} | {peer} {p.get('version', '')} | {DESIGNS[peer]} "
            f"| {fmt_time(p.get('seconds'))} | {fmt_time(q.get('seconds'))} | {ratio} "
            f"| {fmt_pick(p)} | {fmt_pick(q)} |"
        )
    for name, why in failed.items():
        print(f"not installed: {name}: {why.splitlines()[-1] if why else ''}")


if __name__ == "__main__":
    main()
