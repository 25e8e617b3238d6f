"""Missing cells in the synthetic-control family: refused by default, or the
donors that have them dropped, named, and the fit that of the table without
them."""

from __future__ import annotations

import numpy as np
import pytest

import quintara
from quintara.datasets import load_table

KW = {"unit": "State", "time": "Year", "outcome": "PacksPerCapita"}


def test_drop_donors_is_the_fit_without_them() -> None:
    df = load_table("prop99")
    holes = df.drop(df[df.State.isin(["Utah", "Texas"]) & (df.Year == 1975)].index)
    holes.loc[(holes.State == "Ohio") & (holes.Year == 1980), "PacksPerCapita"] = np.nan
    with pytest.raises(ValueError, match=r"^missing or non-finite outcome in column"):
        quintara.synth(holes, treated="California", start=1989, **KW)  # refused by default
    r = quintara.synth(holes, treated="California", start=1989, missing="drop_donors",
                       inference="placebo", **KW)
    ref = quintara.synth(df[~df.State.isin(["Utah", "Texas", "Ohio"])], treated="California",
                         start=1989, inference="placebo", **KW)
    assert r.dropped_donors == ["Ohio", "Texas", "Utah"]
    assert (r.att, r.p_value, r.ci) == (ref.att, ref.p_value, ref.ci)
    assert list(r.weights.index) == list(ref.weights.index)
    conformal = quintara.synth(holes, treated="California", start=1989, method="cpasc",
                               missing="drop_donors", **KW)  # its own result class
    for fit in (r, conformal):
        assert "Dropped for missing cells: 3 donors (Ohio, Texas, Utah)." in fit.summary()
        assert fit.to_dict()["dropped_donors"] == ["Ohio", "Texas", "Utah"]
    # A complete table drops nothing.
    assert quintara.synth(df, treated="California", start=1989, missing="drop_donors",
                          **KW).dropped_donors == []


def test_a_treated_unit_with_missing_cells_is_refused() -> None:
    df = load_table("prop99")
    holes = df.drop(df[(df.State == "California") & df.Year.isin([1975, 1976])].index)
    with pytest.raises(ValueError, match=(r"^treated unit California has missing cells "
                                          r"\(1975, 1976\); missing='drop_donors' drops "
                                          r"donors only$")):
        quintara.synth(holes, treated="California", start=1989, missing="drop_donors", **KW)
    with pytest.raises(ValueError, match=r"^missing must be one of 'refuse', 'drop_donors'"):
        quintara.synth(df, treated="California", start=1989, missing="fill", **KW)


MPDTA = {"unit": "countyreal", "time": "year", "outcome": "lemp"}


def test_staggered_fits_the_units_observed_in_every_period() -> None:
    df = load_table("mpdta")
    gone = df.countyreal.unique()[[3, 40, 41]]
    holes = df.drop(df[df.countyreal.isin(gone) & (df.year == 2005)].index)
    complete = df[~df.countyreal.isin(gone)]
    # Callaway-Sant'Anna drops them by default: bit for bit the balanced sub-panel's fit.
    r = quintara.staggered(holes, adoption="first_treat", **MPDTA)
    ref = quintara.staggered(complete, adoption="first_treat", **MPDTA)
    assert (r.att, r.se, r.raw.event_att) == (ref.att, ref.se, ref.raw.event_att)
    assert r.dropped_units == sorted(gone) and ref.dropped_units == []
    names = ", ".join(map(str, sorted(gone)))
    assert f"Dropped for missing periods (balance='drop'): 3 units ({names})." in r.summary()
    # The Goodman-Bacon decomposition needs a balanced panel; the regressions don't.
    with pytest.raises(ValueError, match=(
            r"^the Goodman-Bacon decomposition needs a balanced panel: 3 units lack some periods "
            r"\(.*\); pass balance='drop' to fit the 497 units observed in every period$")):
        quintara.staggered(holes, adoption="first_treat", method="bacon", **MPDTA)
    for method in ("bacon", "twfe"):
        fit = quintara.staggered(holes, adoption="first_treat", method=method, balance="drop",
                                 **MPDTA)
        assert fit.att == quintara.staggered(complete, adoption="first_treat", method=method,
                                             **MPDTA).att
    with pytest.raises(ValueError, match=r"^balance must be one of 'drop', 'refuse'"):
        quintara.staggered(df, adoption="first_treat", method="bacon", balance="keep", **MPDTA)
    with pytest.raises(ValueError, match=r"^balance must be one of 'drop', 'keep', 'refuse'"):
        quintara.staggered(df, adoption="first_treat", balance="fill", **MPDTA)
