"""The module surface: names, order, signatures, docstrings."""

from __future__ import annotations

import inspect
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import quintara
from quintara import _quintara

# The full function table, in registration order.
TABLE = ["version", "fit_sc", "fit_asc", "fit_sdid", "fit_fp", "fit_rsc", "fit_mcnnm",
         "fit_cpasc", "bootstrap_mean", "fit_many", "fit_twfe_py", "fit_callaway_py",
         "fit_sunab_py", "bacon_decompose_py", "geo_power", "geo_power_ensemble",
         "geo_diagnostics", "geo_select", "fit_conformal", "geo_test", "fit_imputation_py",
         "honest_did_py", "geo_analyze", "geo_select_cells"]
CLASSES = ["PowerResult", "GeoDiagnostics", "MarketCandidate", "SCResult", "CPASCResult",
           "DiDResult", "BaconComponent", "BaconResult", "GeoAnalysis", "CellDesign",
           "CellDesigns"]


def test_version_module_identity_and_all_order() -> None:
    assert quintara.version() == quintara.__version__ == "0.3.0"
    with pytest.raises(TypeError):
        quintara.version(1)  # type: ignore[call-arg]
    assert _quintara.__name__ == "quintara._quintara"
    assert _quintara.__doc__ == "The compiled extension module `quintara._quintara`."
    # Functions come first, in table order, then the classes.
    assert _quintara.__all__ == TABLE + CLASSES
    for name in _quintara.__all__:
        assert getattr(quintara, name) is getattr(_quintara, name)
    assert quintara.__all__ == [*_quintara.__all__, "PanicException", *quintara.LABELLED,
                                *quintara.RESULTS, "Table"]
    for name in quintara.RESULTS:  # the labelled result classes, importable from the package
        assert getattr(quintara, name).__module__.startswith("quintara.results")
    assert not {"_progress", "_cancel"} & set(_quintara.__all__)
    assert quintara.PanicException.__mro__[1:] == (BaseException, object)  # not an Exception


def test_docstrings_reach_python() -> None:
    # Signatures, defaults and property order are held by the stub (checked by
    # stubtest and the generator below, which also compares the classes'
    # docstrings); here, that a function's docstring passes through.
    assert quintara.fit_sc.__doc__ == (
        "Fit synthetic control.\n\n"
        "`y` is an `N×T` outcome array (rows = units, cols = periods). `treated` are\n"
        "the row indices of treated units; `treat_time` is the first post-period\n"
        "column index. If `placebo` is true, an in-space placebo test is run and the\n"
        "p-value / distribution are attached.")


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_sealed(name: str) -> None:
    cls = getattr(quintara, name)
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.slow
def test_type_stub_matches_the_runtime_module() -> None:
    stubtest = pytest.importorskip("mypy.stubtest")
    res = subprocess.run([sys.executable, "-m", stubtest.__name__, "quintara._quintara"],
                         capture_output=True, text=True)
    assert res.returncode == 0, res.stdout + res.stderr


def test_stub_result_classes_are_generated_from_the_field_tables() -> None:
    gen_stub = runpy.run_path(str(Path(__file__).resolve().parents[2] / "scripts" / "gen_stub.py"))
    stub = gen_stub["STUB"].read_text(encoding="utf-8")
    assert gen_stub["regenerate"](stub) == stub, "run scripts/gen_stub.py"
    # Each class's rows are its properties, in order, with their docstrings.
    rows = _quintara._result_fields()
    for name in CLASSES:
        cls = getattr(quintara, name)
        props = [k for k, v in vars(cls).items() if inspect.isgetsetdescriptor(v)]
        assert props == [n for c, n, *_ in rows if c == name], name
        assert all(getattr(cls, n).__doc__ == d for c, n, _, _, d in rows if c == name), name
