"""Side-by-side timings of quintara and the Python packages people use for
the same estimators, on the same data.

The script makes its own virtual environment (default: bench/peers/.venv,
ignored by git), installs every peer listed in requirements.txt there one by
one (a peer that fails to install is reported and left out), installs
quintara from this checkout into it, then runs every (case, implementation)
pair in a fresh process of that environment, so no run inherits another's
imports, caches or thread pools. Each process times its call (one warm-up,
then the median of repeats) under a wall-clock cap.

Run: python bench/peers/run.py [--env DIR] [--only SUBSTRING] [--timeout SECONDS]
     [--skip-install] [--repeats N] [--skip CASE:IMPL ...]

It is a benchmark, not a test: nothing in CI runs it.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]


def env_python(env: Path) -> Path:
    return env / ("Scripts/python.exe" if os.name == "nt" else "bin/python")


def requirements() -> list[str]:
    lines = (HERE / "requirements.txt").read_text().splitlines()
    return [s.split("#")[0].strip() for s in lines if s.split("#")[0].strip()]


def install(env: Path) -> dict[str, str]:
    """Creates the environment if needed and installs each peer and quintara;
    returns the failures (name -> last lines of pip's output)."""
    if not env_python(env).exists():
        subprocess.run([sys.executable, "-m", "venv", str(env)], check=True)
    py = str(env_python(env))
    subprocess.run([py, "-m", "pip", "install", "-q", "--upgrade", "pip"], check=False)
    failed: dict[str, str] = {}
    for req in requirements() + [str(ROOT)]:
        name = "quintara" if req == str(ROOT) else req
        print(f"installing {name} ...", flush=True)
        r = subprocess.run([py, "-m", "pip", "install", "-q", req], capture_output=True, text=True)
        if r.returncode != 0:
            failed[name] = "\n".join((r.stdout + r.stderr).strip().splitlines()[-3:])
            print(f"  failed: {failed[name]}", flush=True)
    return failed


def run_one(env: Path, case: str, impl: str, timeout: float, repeats: int) -> dict:
    """One (case, implementation) in its own process; the worker prints one
    JSON line."""
    cmd = [str(env_python(env)), str(HERE / "worker.py"), case, impl, str(repeats)]
    start = time.perf_counter()
    # Its own process group: peers that fork workers (multiprocessing) would
    # otherwise leave them running after a timeout, skewing later cases.
    proc = subprocess.Popen(
        cmd,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=HERE,
        start_new_session=True,
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
    if s < 1e-3:
        return f"{s * 1e6:.0f} us"
    if s < 1.0:
        return f"{s * 1e3:.1f} ms"
    return f"{s:.2f} s"


def fmt_num(x: float | None) -> str:
    return "-" if x is None else f"{x:.6g}"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--env", type=Path, default=HERE / ".venv", help="virtual environment dir")
    ap.add_argument("--only", default="", help="run only cases whose name contains this")
    ap.add_argument(
        "--skip",
        action="append",
        default=[],
        metavar="CASE:IMPL",
        help="leave out one implementation of the cases whose name contains CASE",
    )
    ap.add_argument("--timeout", type=float, default=120.0, help="seconds per process")
    ap.add_argument("--repeats", type=int, default=5, help="timed calls per process (median)")
    ap.add_argument("--skip-install", action="store_true", help="reuse the environment as is")
    args = ap.parse_args()
    env = args.env.resolve()
    failed = {} if args.skip_install else install(env)

    listing = subprocess.run(
        [str(env_python(env)), str(HERE / "worker.py"), "--list"],
        capture_output=True,
        text=True,
        check=True,
        cwd=HERE,
    )
    plan = [tuple(line.split("\t")) for line in listing.stdout.splitlines() if "\t" in line]
    plan = [(c, i) for c, i in plan if args.only in c]
    skipped = [tuple(s.rsplit(":", 1)) for s in args.skip]
    plan = [(c, i) for c, i in plan if not any(k in c and i == impl for k, impl in skipped)]

    rows = []
    ours: dict[str, dict] = {}
    for case, impl in plan:
        res = run_one(env, case, impl, args.timeout, args.repeats)
        print(
            f"  {case:<28} {impl:<14} {fmt_time(res.get('seconds')):>10} {res.get('error', '')}",
            flush=True,
        )
        if impl == "quintara":
            ours[case] = res
        else:
            rows.append((case, impl, res))

    head = (
        f"{'case':<28} {'peer':<26} {'peer time':>10} {'quintara':>10} {'ratio':>8} "
        f"{'peer est':>12} {'quintara est':>12} {'diff':>10}"
    )
    print()
    print(head)
    print("-" * len(head))
    for case, impl, res in rows:
        q = ours.get(case, {})
        peer = f"{impl} {res.get('version', '')}".strip()
        ratio = (
            f"{res['seconds'] / q['seconds']:.3g}x"
            if res.get("seconds") and q.get("seconds")
            else "-"
        )
        diff = (
            fmt_num(res["estimate"] - q["estimate"])
            if res.get("estimate") is not None and q.get("estimate") is not None
            else "-"
        )
        if "error" in res:
            print(f"{case:<28} {peer:<26} {res['error']}")
            continue
        print(
            f"{case:<28} {peer:<26} {fmt_time(res.get('seconds')):>10} "
            f"{fmt_time(q.get('seconds')):>10} {ratio:>8} {fmt_num(res.get('estimate')):>12} "
            f"{fmt_num(q.get('estimate')):>12} {diff:>10}"
        )
    for name, why in failed.items():
        print(f"not installed: {name}: {why.splitlines()[-1] if why else ''}")


if __name__ == "__main__":
    main()
