"""The `quintara` command line end to end, progress on a terminal only, and Ctrl-C."""

from __future__ import annotations

import functools
import importlib.util
import json
import os
import pty
import select
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quintara.datasets import load_table

CLI = [sys.executable, "-m", "quintara.cli"]
GEO = ["--unit", "market", "--time", "week", "--outcome", "sales"]
PROP99 = ["--unit", "State", "--time", "Year", "--outcome", "PacksPerCapita"]
CALIFORNIA = ["--treated", "California", "--start", "1989"]
DIAGNOSE = ["diagnose", "{prop99}", *PROP99, "--treated", "California", "--test-len", "4"]
MPDTA = ["--unit", "countyreal", "--time", "year", "--outcome", "lemp", "--adoption",
         "first_treat"]


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([*CLI, *args], capture_output=True, text=True, timeout=120)


def in_process(capsys: pytest.CaptureFixture[str], *args: str) -> tuple[int, str, str]:
    """The command line run here: exit status, stdout and stderr."""
    from quintara.cli import main

    try:
        code = main(list(args))
    except SystemExit as e:  # argparse's own exits
        code = int(e.code or 0)
    out = capsys.readouterr()
    return code, out.out, out.err


@pytest.fixture(scope="module")
def tables(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    d = tmp_path_factory.mktemp("tables")
    paths = {"prop99": d / "prop99.csv", "mpdta": d / "mpdta.tsv", "geo": d / "geo.csv",
             "folder": d, "latin": d / "latin.csv"}
    load_table("prop99").to_csv(paths["prop99"], sep=";", index=False)  # delimiters are detected
    load_table("mpdta").to_csv(paths["mpdta"], sep="\t", index=False)
    load_table("geo_sales").to_csv(paths["geo"], index=False)
    paths["latin"].write_bytes(b"State,Year,PacksPerCapita\n\xe9t\xe9,1970,1.0\n")
    return paths


def test_commands_print_summaries_and_write_json(tables: dict[str, Path], tmp_path: Path) -> None:
    out = tmp_path / "r.json"
    r = run("fit", str(tables["prop99"]), *PROP99, *CALIFORNIA, "--method", "sdid",
            "--inference", "placebo", "--json", str(out), "--plot", str(tmp_path / "fit.png"))
    if importlib.util.find_spec("matplotlib") is None:
        assert r.returncode == 2 and "needs matplotlib" in r.stderr
    else:
        assert r.returncode == 0 and r.stderr == "", r.stderr
        assert (tmp_path / "fit.png").stat().st_size > 5000
    assert "Synthetic control results" in r.stdout and "sdid (fit_sdid)" in r.stdout
    fit = json.loads(out.read_text())
    assert fit["att"] == pytest.approx(-15.6054, abs=1e-4) and fit["weights"]["Nevada"] > 0.1
    r = run("fit", str(tables["prop99"]), *PROP99, *CALIFORNIA, "--method", "fp", "--inference",
            "conformal", "--json", str(out))
    assert r.returncode == 0 and "conformal test (31 moving-block" in r.stdout
    assert len(json.loads(out.read_text())["pointwise"]) == 12
    r = run("staggered", str(tables["mpdta"]), *MPDTA, "--control", "notyet", "--est-method",
            "ipw", "--json", str(out))
    assert r.returncode == 0 and "event +3" in r.stdout
    assert "ipw (inverse probability weighting)" in r.stdout
    assert set(json.loads(out.read_text())) >= {"att", "se", "event_study"}
    r = run("staggered", str(tables["mpdta"]), *MPDTA, *"--method twfe --weights lpop "
            "--cluster first_treat".split())
    assert r.returncode == 0 and "Weights" in r.stdout and "4 (first_treat)" in r.stdout
    r = run("power", str(tables["geo"]), *GEO, *"--treated Denver Portland --test-len 8 "
            "--lifts 0 0.05 0.1 --lookback 6 --json".split(), str(out))
    assert r.returncode == 0 and "Geo-experiment power analysis" in r.stdout
    pw = json.loads(out.read_text())
    assert [c["lift"] for c in pw["curve"]] == [0, 0.05, 0.1]
    assert "mde" in pw and "power" in pw["curve"][0]
    r = run("select", str(tables["geo"]), *GEO, *"--test-len 8 --target-lift 0.05 --max-treated 2 "
            "--eligible Austin Denver Tampa --candidates 4 --lookback 4 --json".split(), str(out))
    assert r.returncode == 0
    sel = json.loads(out.read_text())
    assert (sel["entry"], sel["search"], sel["n_candidates"]) == ("geo_select", "sized", 4)
    cands = sel["candidates"]
    assert cands[0]["markets"]
    assert {m for c in cands for m in c["markets"]} <= {"Austin", "Denver", "Tampa"}
    assert [c["score"] for c in cands] == sorted((c["score"] for c in cands), reverse=True)
    r = run("select", str(tables["geo"]), *GEO, *"--test-len 8 --cells 1:0.05 2:0.1 --eligible "
            "Austin Denver Tampa Boston --lookback 4 --json".split(), str(out))
    assert r.returncode == 0 and "Geo-experiment multi-cell selection" in r.stdout
    cells = json.loads(out.read_text())
    assert (cells["entry"], cells["search"]) == ("geo_select_cells", "exhaustive")
    assert [c["max_treated"] for c in cells["cells"]] == [1, 2]
    r = run("diagnose", str(tables["geo"]), *GEO, "--treated", "Denver", "--test-len", "8")
    assert r.returncode == 0 and "confidence (0-100)" in r.stdout
    # A reader that stops early (`| head`) ends the run quietly: stdout a pipe
    # whose reading end is already closed.
    code = ("import os, sys; r, w = os.pipe(); os.close(r); os.dup2(w, 1); "
            "from quintara.cli import main; sys.exit(main(sys.argv[1:]))")
    piped = subprocess.run([sys.executable, "-c", code, "diagnose", str(tables["geo"]), *GEO,
                            "--treated", "Denver", "--test-len", "8"],
                           capture_output=True, text=True, timeout=120)
    assert (piped.returncode, piped.stderr) == (0, "")


def test_text_periods_in_the_order_the_user_gives(tables: dict[str, Path],
                                                 tmp_path: Path) -> None:
    # Prop 99's years written as ambiguous day/month dates, then as waves.
    df = load_table("prop99")
    years = sorted(df.Year.unique())
    dated = df.assign(Year=df.Year.map({y: f"01/{k % 12 + 1:02d}/{1970 + k // 12}"
                                        for k, y in enumerate(years)}))
    dated.to_csv(tmp_path / "dated.csv", index=False)
    waves = {y: f"wave {chr(ord('z') - k)}" for k, y in enumerate(years)}  # not text order
    df.assign(Year=df.Year.map(waves)).to_csv(tmp_path / "waves.csv", index=False)
    (tmp_path / "order.txt").write_text("\n".join(waves[y] for y in years))
    base = run("fit", str(tables["prop99"]), *PROP99, *CALIFORNIA)
    att = next(line for line in base.stdout.splitlines() if line.startswith("ATT"))
    refused = run("fit", str(tmp_path / "dated.csv"), *PROP99, "--treated", "California",
                  "--start", "01/08/1971")
    assert refused.returncode == 2
    assert "reads both as dd/mm/yyyy and as mm/dd/yyyy" in refused.stderr
    for data, extra, start in (("dated.csv", ["--time-format", "%d/%m/%Y"], "1971-08-01"),
                               ("waves.csv", ["--time-order", str(tmp_path / "order.txt")],
                                waves[1989])):
        r = run("fit", str(tmp_path / data), *PROP99, *extra, "--treated", "California",
                "--start", start)
        assert r.returncode == 0, r.stderr
        assert next(line for line in r.stdout.splitlines() if line.startswith("ATT")) == att


@pytest.mark.parametrize("args,message", [
    (["diagnose", "{prop99}.missing", *GEO, "--treated", "X", "--test-len", "2"], "no such file"),
    (["fit", "{prop99}", "--treated", "California"], "the following arguments are required"),
    (["select", "{prop99}", *PROP99, "--test-len", "2", "--cells", "2:0.1", "--max-treated", "2"],
     "--max-treated does not apply with --cells"),
    (["select", "{prop99}", *PROP99, "--test-len", "2", "--cells", "2"],
     "--cells entries are K:LIFT or K:LIFT:BUDGET; got '2'"),
    (["select", "{prop99}", *PROP99, "--test-len", "2", "--max-treated", "2"],
     "--target-lift is required (or --cells)"),
    (["select", "{prop99}", *PROP99, "--test-len", "2", "--cells=-1:0.1"],
     "--cells entry '-1:0.1': K must be 1 or more; got -1"),
    # An option the method does not take.
    (["staggered", "{mpdta}", *MPDTA, "--method", "twfe", "--bands"],
     "--bands does not apply with --method twfe (only with callaway)"),
    (["staggered", "{mpdta}", *MPDTA, "--method", "bacon", "--level", "0.9"],
     "--level does not apply with --method bacon (only with callaway, twfe, sunab, imputation)"),
    (["fit", "{prop99}", *PROP99, *CALIFORNIA, "--method", "mcnnm", "--level", "0.9"],
     "--level does not apply with --method mcnnm (only with sc, fp, asc, sdid, rsc)"),
    (["fit", "{prop99}", *PROP99, *CALIFORNIA, "--inference", "in_time", "--n-placebo", "9"],
     "--n-placebo applies only with --inference placebo"),
    (["fit", "{prop99}", *PROP99, *CALIFORNIA, "--inference", "in_time", "--level", "1.5"],
     "--level must be between 0 and 1; got 1.5"),
    # Advice on an option is given in the command line's spelling.
    (["analyze", "{geo}", *GEO, "--treated", "Denver", "--start", "2025-10-06", "--min-pre", "200"],
     "Pass --min-pre "),
    (["analyze", "{geo}", *GEO, "--treated", "Denver", "--start", "2025-10-06", "--channel", "tv"],
     "--channel names the channel of --mmm's record; pass --mmm FILE too"),
    # An unknown option is the command's error, with its usage.
    ([*DIAGNOSE, "--progress"],
     "quintara diagnose: error: unrecognized arguments: --progress"),
    (["fit", "{prop99}", *PROP99, *CALIFORNIA, "--bogus"],
     "usage: quintara fit [-h]"),
    # A lift's sign and the test's side, named as the options are.
    (["select", "{geo}", *GEO, "--test-len", "8", "--max-treated", "2", "--target-lift", "-0.05"],
     "--target-lift -0.05 is negative, a go-dark test: pass --alternative less"),
    (["select", "{geo}", *GEO, "--test-len", "8", "--max-treated", "2", "--target-lift", "0.05",
      "--alternative", "less"],
     "--target-lift 0.05 is positive, but --alternative less tests a decrease; give a negative "
     "lift"),
    (["select", "{geo}", *GEO, "--test-len", "8", "--cells", "1:0.05", "1:-0.05"],
     "--cells entry '1:-0.05': LIFT is negative, a go-dark test: pass --alternative less"),
    (["select", "{prop99}", *PROP99, "--test-len", "2", "--cells", "1:0.05:nan"],
     "--cells entry '1:0.05:nan': BUDGET must be finite and > 0 (K:LIFT for no budget); got nan"),
    (["select", "{prop99}", *PROP99, "--test-len", "2", "--target-lift", "0.05"],
     "--max-treated is required (or --exact-size, or --cells)"),
    ([*DIAGNOSE, "--thousands", "."],
     "--thousands . is also the decimal mark; pass --decimal as well"),
    (["fit", "{folder}", *PROP99, *CALIFORNIA], "{folder} is a folder, not a table file"),
    (["fit", "{latin}", *PROP99, *CALIFORNIA],
     "{latin} is not UTF-8 text (byte 0xe9 at offset 26); save it as UTF-8"),
    (["staggered", "{mpdta}", *MPDTA, "--weights", "lemp"],
     "--weights lemp: column 'lemp' is the outcome, not constant within each unit"),
    # Files the run would write, checked before it runs.
    ([*DIAGNOSE, "--json", "{prop99}"],
     "--json {prop99} is the data file; name another file"),
    ([*DIAGNOSE, "--json", "{prop99}.d/r.json"],
     "--json {prop99}.d/r.json: no folder {prop99}.d"),
    ([*DIAGNOSE, "--plot", "{prop99}.foo"],
     "--plot {prop99}.foo: name a file ending in one of .eps, .jpeg"),
])
def test_usage_and_data_errors_exit_2_without_traceback(
    tables: dict[str, Path], args: list[str], message: str
) -> None:
    r = run(*(a.format(**tables) for a in args))
    assert r.returncode == 2 and r.stdout == ""
    assert message.format(**tables) in r.stderr and "Traceback" not in r.stderr


@pytest.mark.parametrize("command, option, value, why", [
    ("select", "--candidates", "-3", "must be 1 or more; got -3"),
    ("select", "--seed", "-1", "must be 0 or more; got -1"),
    ("power", "--lookback", "0", "must be 1 or more; got 0"),
    ("diagnose", "--test-len", "-8", "must be 1 or more; got -8"),
    ("analyze", "--min-pre", "-2", "must be 0 or more; got -2"),
    ("staggered", "--max-e", str(2**64), f"must be at most {2**63 - 1}; got {2**64}"),
])
def test_counts_out_of_range_are_one_line_naming_the_option(
    tables: dict[str, Path], capsys: pytest.CaptureFixture[str], command: str, option: str,
    value: str, why: str
) -> None:
    geo = [str(tables["geo"]), *GEO]
    given = {"select": [*geo, "--test-len", "8", "--target-lift", "0.05", "--max-treated", "2"],
             "power": [*geo, "--test-len", "8", "--treated", "Denver", "--lifts", "0"],
             "diagnose": [*geo, "--treated", "Denver"],
             "analyze": [*geo, "--treated", "Denver", "--start", "2025-10-06"],
             "staggered": [str(tables["mpdta"]), *MPDTA]}[command]
    assert in_process(capsys, command, *given, option, value) == (
        2, "", f"quintara {command}: error: argument {option}: {why}\n")


# Runs the CLI with a line on stdout the moment the worker thread enters the
# compiled call, so a test can signal while that call runs whatever the
# machine's load.
_MARKED_CLI = [
    sys.executable,
    "-c",
    # Ctrl-C as a terminal delivers it, even where the test runner itself was
    # started with SIGINT ignored (a background job), which the child inherits.
    "import signal\n"
    "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
    "import sys, quintara._progress as p, quintara.cli as c\n"
    "run = p.run\n"
    "def marked(fn, *a, **k):\n"
    "    def call(*x, **y):\n"
    "        print('calling', flush=True)\n"
    "        return fn(*x, **y)\n"
    "    return run(call, *a, **k)\n"
    "p.run = marked\n"
    "sys.exit(c.main(sys.argv[1:]))",
]
# Far beyond any wait on a loaded machine: reaching it means the run hung.
_HANG = 300


def _long_selection(tables: dict[str, Path], stderr: int) -> subprocess.Popen[bytes]:
    return subprocess.Popen(
        # Minutes of work even on a fast machine, so the run is still going
        # when Ctrl-C arrives however long a loaded machine takes to send it.
        [*_MARKED_CLI, "select", str(tables["geo"]), *GEO,
         *"--test-len 8 --target-lift 0.05 --max-treated 5 --candidates 100000".split()],
        stdout=subprocess.PIPE,
        stderr=stderr,
    )


def _interrupt(proc: subprocess.Popen[bytes]) -> bytes | None:
    """Sends Ctrl-C once the compiled call runs; returns stderr when piped."""
    assert proc.stdout is not None
    assert proc.stdout.readline() == b"calling\n"
    proc.send_signal(signal.SIGINT)
    try:
        _, err = proc.communicate(timeout=_HANG)
    finally:
        proc.kill()  # a no-op when it has ended
    return err


def test_progress_on_a_terminal_and_ctrl_c(tables: dict[str, Path]) -> None:
    master, slave = pty.openpty()
    proc = _long_selection(tables, slave)
    os.close(slave)
    seen = b""
    while b"ETA" not in seen and select.select([master], [], [], _HANG)[0]:
        seen += os.read(master, 4096)
    assert b"candidates: " in seen and b"done, 0:0" in seen and b"ETA" in seen, seen
    _interrupt(proc)
    tail = b""
    while select.select([master], [], [], 0.2)[0]:
        try:
            tail += os.read(master, 4096)
        except OSError:
            break
    os.close(master)
    assert proc.returncode == 130 and b"interrupted" in tail


def test_no_progress_in_a_pipe_and_ctrl_c(tables: dict[str, Path]) -> None:
    proc = _long_selection(tables, subprocess.PIPE)
    err = _interrupt(proc)
    assert err is not None and err.endswith(b"interrupted\n")
    # At most the one-line warning of a long run before it (no bar in a pipe).
    assert all(b"(estimated)" in line for line in err.splitlines()[:-1]), err
    assert proc.returncode == 130


def test_module_run_hands_options_and_commands_to_the_command_line(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    from quintara.__main__ import main

    # Never taken for the demo's plot folder.
    for args in (["--help"], ["power", "--help"]):
        r = subprocess.run([sys.executable, "-m", "quintara", *args], capture_output=True,
                           text=True, timeout=120, cwd=tmp_path)
        assert r.returncode == 0 and r.stdout.startswith("usage: quintara"), r.stderr
    # Nor is an unknown command with more arguments, or a near miss of a command.
    monkeypatch.chdir(tmp_path)
    for args in (["synth", "--help"], ["stagered"]):
        monkeypatch.setattr(sys, "argv", ["quintara", *args])
        with pytest.raises(SystemExit) as exit:
            main()
        assert exit.value.code == 2
    assert capsys.readouterr().err.endswith(
        "quintara: error: 'stagered' is not a command (did you mean 'staggered'?); for the "
        "demo's plots in a folder of that name: quintara demo --out stagered\n")
    assert list(tmp_path.iterdir()) == []


def test_demo_reports_and_writes_its_plots(tmp_path: Path) -> None:
    r = run("demo", "--out", str(tmp_path / "plots"))
    assert r.returncode == 0, r.stderr
    for piece in ("Proposition 99", "placebo p =", "Callaway-Sant'Anna ATT", "with 80% power",
                  "Best of"):
        assert piece in r.stdout, piece
    if importlib.util.find_spec("matplotlib") is not None:
        assert len(list((tmp_path / "plots").glob("*.png"))) == 5
    else:
        assert "pip install 'quintara[plot]'" in r.stdout


def test_files_as_analysts_have_them(tables: dict[str, Path], tmp_path: Path,
                                     capsys: pytest.CaptureFixture[str]) -> None:
    from quintara import __version__

    call = functools.partial(in_process, capsys)
    assert call("--version") == (0, f"quintara {__version__}\n", "")
    df = load_table("prop99")
    base = call("fit", str(tables["prop99"]), *PROP99, *CALIFORNIA)
    assert base[0] == 0
    df.to_csv(tmp_path / "p.csv.gz", index=False)
    # Compressed; the file after --treated's names; names as one comma list.
    for args in (["--treated", "California", str(tmp_path / "p.csv.gz")],
                 [str(tables["prop99"]), "--treated", "California,"]):
        assert call("fit", *args, *PROP99, "--start", "1989") == base
    # A 0/1 treatment column names the treated units and the start.
    df.assign(D=((df.State == "California") & (df.Year >= 1989)).astype(int)).to_csv(
        tmp_path / "d.csv", index=False)
    assert call("fit", str(tmp_path / "d.csv"), *PROP99, "--treated-column", "D") == base
    code, _, err = call("fit", str(tmp_path / "d.csv"), *PROP99, "--treated-column", "D",
                        "--treated", "California")
    assert code == 2 and "give one of --treated and --treated-column" in err
    # Marked for the test's days only: the cool-down after them is not the test's. The
    # days as text do not sort in time order.
    rng = np.random.default_rng(3)
    days = pd.date_range("2024-01-11", periods=40)
    marked = pd.MultiIndex.from_product([[f"m{k}" for k in range(10)], days],
                                        names=["market", "week"]).to_frame(index=False)
    marked["sales"] = 100 + rng.normal(size=len(marked))
    on = marked.week.between(days[19], days[23])  # 30/01/2024 to 03/02/2024
    marked["D"] = (marked.market.isin(["m1", "m2"]) & on).astype(int)
    marked.assign(week=marked.week.dt.strftime("%d/%m/%Y")).to_csv(tmp_path / "marked.csv",
                                                                   index=False)
    test = ["analyze", str(tmp_path / "marked.csv"), *GEO, "--time-format", "%d/%m/%Y"]
    by_column = call(*test, "--treated-column", "D")
    assert by_column[0] == 0
    assert by_column == call(*test, "--treated", "m1", "m2", "--start", "30/01/2024", "--end",
                             "03/02/2024")
    # Every unit list takes one comma-separated list, and gives back the file after it.
    select = ["select", *GEO, *"--test-len 8 --target-lift 0.05 --max-treated 2 --candidates 4 "
              "--lookback 4".split()]
    chosen = call(*select, str(tables["geo"]), "--include", "Austin", "--exclude", "Denver",
                  "Portland")
    assert chosen[0] == 0
    assert call(*select, "--exclude", "Denver,Portland", "--include", "Austin",
                str(tables["geo"])) == chosen
    df.head(0).to_csv(tmp_path / "empty.csv", index=False)
    (tmp_path / "blank.csv").write_text("")
    for name in ("empty.csv", "blank.csv"):
        code, _, err = call("fit", str(tmp_path / name), *PROP99, "--treated", "X",
                            "--start", "1")
        assert code == 2 and err.endswith(f"{tmp_path / name} has no rows\n"), err
    code, _, err = call("fit", str(tables["prop99"]), *PROP99, "--treated", "California",
                        "--start", "1970")
    assert code == 2
    assert err.endswith("start 1970 is the first period; at least one pre-period is needed\n")
    # Continental numbers are named, and read once the options say so.
    euro = df.assign(PacksPerCapita=df.PacksPerCapita.map(lambda v: f"{v:.6f}".replace(".", ",")))
    euro.to_csv(tmp_path / "euro.csv", sep=";", index=False)
    code, _, err = call("fit", str(tmp_path / "euro.csv"), *PROP99, *CALIFORNIA)
    assert code == 2 and "writes numbers with a decimal comma (such as '" in err
    assert err.endswith("); pass --decimal ,\n")
    code, out, _ = call("fit", str(tmp_path / "euro.csv"), *PROP99, "--decimal", ",", *CALIFORNIA)
    assert code == 0 and "ATT" in out
    big = df.assign(PacksPerCapita=(df.PacksPerCapita * 1000).map(lambda v: f"{v:,.0f}"))
    big.to_csv(tmp_path / "big.csv", sep=";", index=False)
    code, _, err = call("fit", str(tmp_path / "big.csv"), *PROP99, *CALIFORNIA)
    assert code == 2 and err.endswith("); pass --thousands ,\n"), err
    # Unit codes keep their leading zeros.
    coded = df.assign(State=df.State.map({s: f"{k:05d}" for k, s in
                                          enumerate(sorted(df.State.unique()))}))
    coded.to_csv(tmp_path / "coded.csv", index=False)
    california = f"{sorted(df.State.unique()).index('California'):05d}"
    code, out, _ = call("fit", str(tmp_path / "coded.csv"), *PROP99, "--treated", california,
                        "--start", "1989")
    assert code == 0 and f"Treated:          {california}" in out


def test_the_command_line_runs_what_the_verbs_run(tables: dict[str, Path], tmp_path: Path,
                                                  capsys: pytest.CaptureFixture[str]) -> None:
    import quintara

    call = functools.partial(in_process, capsys)
    # Unit codes that are plain numbers are numbers, as pandas reads them: the
    # units sort as the verb's do, so seeded draws agree.
    out = tmp_path / "bands.json"
    code, _, _ = call("staggered", str(tables["mpdta"]), *MPDTA, "--bands", "--n-reps", "99",
                      "--seed", "4", "--json", str(out))
    jobs = quintara.staggered(load_table("mpdta"), adoption="first_treat", unit="countyreal",
                              time="year", outcome="lemp", bands=True, n_reps=99, seed=4)
    assert code == 0 and json.loads(out.read_text()) == json.loads(json.dumps(jobs.to_dict()))
    # The in-time test with the options it takes; its warnings in one line.
    code, text, err = call("fit", str(tables["prop99"]), *PROP99, *CALIFORNIA, "--inference",
                           "in_time", "--min-pre", "2", "--lookback", "3", "--alternative",
                           "less")
    fit = quintara.synth(load_table("prop99"), treated="California", start=1989, unit="State",
                         time="Year", outcome="PacksPerCapita", inference="in_time", min_pre=2,
                         lookback=3, alternative="less")
    assert code == 0 and text == fit.summary() + "\n"
    r = run("fit", str(tables["prop99"]), *PROP99, *CALIFORNIA, "--inference", "placebo",
            "--max-pre-ratio", "0.01")
    assert r.returncode == 0
    assert r.stderr.startswith("quintara: warning: the placebo test kept no placebo")
    assert len(r.stderr.splitlines()) == 1
    # A bare file is a table to analyse, never the demo's folder.
    r = subprocess.run([sys.executable, "-m", "quintara", str(tables["prop99"])],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 2 and "is a file, not a folder for the demo's plots" in r.stderr


def test_design_commands_as_their_help_describes(tables: dict[str, Path], tmp_path: Path,
                                                  capsys: pytest.CaptureFixture[str]) -> None:
    call = functools.partial(in_process, capsys)
    out = tmp_path / "r.json"
    select = ["select", str(tables["geo"]), *GEO, *"--test-len 8 --candidates 4 --lookback 4 "
              "--eligible Austin Denver Tampa --json".split(), str(out)]
    # A go-dark design: a negative lift with --alternative less.
    code, _, err = call(*select, "--target-lift", "-0.05", "--max-treated", "2",
                        "--alternative", "less")
    assert code == 0, err
    dark = json.loads(out.read_text())
    assert (dark["target_lift"], dark["alternative"]) == (-0.05, "less")
    # --exact-size alone is the largest size too.
    code, _, err = call(*select, "--target-lift", "0.05", "--exact-size", "2")
    assert code == 0, err
    sized = json.loads(out.read_text())
    assert (sized["max_treated"], sized["exact_size"]) == (2, 2)
    assert {len(c["markets"]) for c in sized["candidates"]} == {2}
    # A treated market without sales: its curve's lifts are missing, and the
    # file stays JSON (no NaN).
    df = load_table("geo_sales")
    df.loc[df.market == "Denver", "sales"] = 0.0
    df.to_csv(tmp_path / "zero.csv", index=False)
    code, _, err = call("power", str(tmp_path / "zero.csv"), *GEO, *"--treated Denver "
                        "--test-len 8 --lifts 0 0.05 --lookback 4 --method sc --json".split(),
                        str(out))
    assert code == 0, err
    curve = json.loads(out.read_text(), parse_constant=lambda c: pytest.fail(f"{c} in JSON"))
    assert [c["est_mean"] for c in curve["curve"]] == [None, None]


def test_every_option_says_what_it_does() -> None:
    import argparse

    from quintara.cli import _parser

    subs = [a for a in _parser()._actions if isinstance(a, argparse._SubParsersAction)]
    bare = [f"{name} {opt.option_strings or opt.dest}"
            for name, sub in subs[0].choices.items() for opt in sub._actions
            if not opt.help]
    assert bare == []
