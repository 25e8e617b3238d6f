"""Periods in time order: every way of writing the same periods gives the same
fit as the integer-period table, text that reads as no single time format is
refused, and a start or adoption period may be named by any label meaning the
same time."""

from __future__ import annotations

import datetime
import io
import pickle

import numpy as np
import pandas as pd
import pytest

import quintara
from quintara.periods import period_order

T, T0 = 12, 8
WEEKS = [datetime.date(2024, 1, 1) + datetime.timedelta(days=7 * t) for t in range(T)]
MONTHS = [pd.Timestamp(2020, 1, 1) + pd.DateOffset(months=t) for t in range(T)]
QUARTERS = [(2010 + (t + 3) // 4, (t + 3) % 4 + 1) for t in range(T)]  # from 2010 Q4

# (labels in time order, the format the summary names)
SPELLINGS = {
    "Q42010": ([f"Q{q}{y}" for y, q in QUARTERS], "quarters like 'Q4 2010' or 'Q42010'"),
    "Q4 2010": ([f"Q{q} {y}" for y, q in QUARTERS], "quarters like 'Q4 2010' or 'Q42010'"),
    "2010Q4": ([f"{y}Q{q}" for y, q in QUARTERS], "quarters like '2010Q4'"),
    "2010-Q4": ([f"{y}-Q{q}" for y, q in QUARTERS], "quarters like '2010Q4'"),
    "Jan 2020": ([m.strftime("%b %Y") for m in MONTHS], "%b %Y"),
    "January 2020": ([m.strftime("%B %Y") for m in MONTHS], "%B %Y"),
    "2020-01": ([m.strftime("%Y-%m") for m in MONTHS], "%Y-%m"),
    "iso dates": ([d.isoformat() for d in WEEKS], "%Y-%m-%d"),
    # Weeks from 22 January: a day past the 12th makes the slash forms unambiguous.
    "dd/mm/yyyy": ([(d + datetime.timedelta(days=21)).strftime("%d/%m/%Y") for d in WEEKS],
                   "%d/%m/%Y"),
    "mm/dd/yyyy": ([(d + datetime.timedelta(days=21)).strftime("%m/%d/%Y") for d in WEEKS],
                   "%m/%d/%Y"),
    "numbers as text": ([str(995 + t) for t in range(T)], None),
    "dates": (WEEKS, None),
    "timestamps": ([pd.Timestamp(d) for d in WEEKS], None),
    "periods": ([pd.Period(f"{y}Q{q}", freq="Q") for y, q in QUARTERS], None),
}

def outcomes() -> np.ndarray:
    rng = np.random.default_rng(0)
    y = (rng.normal(size=(8, 1)) * 3 + np.cumsum(rng.normal(size=(1, T)), axis=1)
         + 0.3 * rng.normal(size=(8, T)))
    y[0, T0:] += 2.0
    return y


def table(labels: list) -> pd.DataFrame:
    y = outcomes()
    rows = [(f"u{i}", labels[t], y[i, t]) for i in range(8) for t in range(T)]
    # Rows shuffled: nothing may depend on the table's order.
    return pd.DataFrame(rows, columns=["unit", "period", "y"]).sample(frac=1.0, random_state=3)


def fit(df: pd.DataFrame, start: object, **kw: object) -> quintara.SynthResult:
    return quintara.synth(df, treated="u0", start=start, unit="unit", time="period",
                          outcome="y", **kw)


BASE = fit(table(list(range(T))), T0)


@pytest.mark.parametrize("spelling", SPELLINGS)
def test_every_spelling_gives_the_integer_table_s_fit(spelling: str) -> None:
    labels, fmt = SPELLINGS[spelling]
    r = fit(table(labels), labels[T0])
    assert list(r.panel.periods) == labels
    assert r.panel.period_format == fmt
    assert r.att == BASE.att and r.raw.att_path == BASE.raw.att_path
    if fmt is not None:
        assert f"read as {fmt}" in r.summary().replace("\n  ", " ")
    # The panel keeps how it reads a label, and crosses a process boundary with it.
    back = pickle.loads(pickle.dumps(r))
    assert back.summary() == r.summary() and back.panel.period_position(labels[T0]) == T0


def test_a_start_is_any_label_of_the_same_time() -> None:
    labels, _ = SPELLINGS["Jan 2020"]
    for start in ("Sep 2020", pd.Timestamp("2020-09-01"), datetime.date(2020, 9, 1)):
        assert fit(table(labels), start).att == BASE.att, start
    for start in ("2024-02-26", pd.Timestamp("2024-02-26"), datetime.date(2024, 2, 26),
                  np.datetime64("2024-02-26")):
        assert fit(table(WEEKS), start).att == BASE.att, start
    assert fit(table([str(995 + t) for t in range(T)]), 1003).att == BASE.att


def test_parquet_date32_periods() -> None:
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    buf = io.BytesIO()
    pq.write_table(pa.Table.from_pandas(table(WEEKS)), buf)
    back = pq.read_table(io.BytesIO(buf.getvalue())).to_pandas()
    for start in ("2024-02-26", datetime.date(2024, 2, 26), pd.Timestamp("2024-02-26")):
        assert fit(back, start).att == BASE.att


def test_text_that_reads_as_no_single_time_is_refused() -> None:
    both = ["01/02/2020", "02/01/2020", "03/04/2020"]
    with pytest.raises(ValueError, match=(
            r"^cannot order the periods of column 'period' by time: every date reads both as "
            r"dd/mm/yyyy and as mm/dd/yyyy \(labels such as '01/02/2020', '02/01/2020', "
            r"'03/04/2020'\); pass time_order=\[\.\.\.\] \(the periods in order\) or "
            r"time_format='%\.\.\.' \(their strptime format\)$")):
        period_order(pd.Index(both), "period")
    with pytest.raises(ValueError, match="neither numbers nor dates in one format"):
        period_order(pd.Index(["wave a", "wave b"]), "period")
    with pytest.raises(ValueError, match="mix text with other types"):
        period_order(pd.Index(["2020", 2021], dtype=object), "period")
    with pytest.raises(ValueError, match=r"^period labels '1989.0' and '1989' of column 'period' "
                                         r"mean the same time; write each period one way$"):
        period_order(pd.Index(["1988", "1989.0", "1989"]), "period")
    far = r"^period labels fall outside the times this package can order \(the years 1678 to"
    for labels in (["9999-12-30", "9999-12-31"],
                   np.array(["1500-01-01", "1501-01-01"], dtype="datetime64[s]")):
        with pytest.raises(ValueError, match=far):
            period_order(pd.Index(labels), "period")
    with pytest.raises(ValueError, match="are neither numbers nor times"):
        period_order(pd.Index(pd.to_timedelta([1, 2], unit="D")), "period")
    # Different UTC offsets: ordered as the instants they are.
    offsets = ["2020-01-01T00:00:00+01:00", "2020-01-01T00:30:00+02:00"]
    assert period_order(pd.Index(offsets), "period").positions().tolist() == [1, 0]
    # The two ways out.
    assert period_order(pd.Index(both), time_format="%m/%d/%Y").positions().tolist() == [0, 1, 2]
    assert period_order(pd.Index(both), time_format="%d/%m/%Y").positions().tolist() == [1, 0, 2]
    waves = ["wave b", "wave c", "wave a"]
    order = period_order(pd.Index(waves), time_order=["wave a", "wave b", "wave c"])
    assert [waves[k] for k in order.positions()] == ["wave a", "wave b", "wave c"]
    with pytest.raises(ValueError, match=r"^time_order does not list 1 periods of column"):
        period_order(pd.Index(waves), "period", time_order=["wave a", "wave b"])
    with pytest.raises(ValueError, match=r"time_format '%Y-%m' does not read every label"):
        period_order(pd.Index(["2020-01", "Feb 2020"]), "period", time_format="%Y-%m")


def test_explicit_and_categorical_orders() -> None:
    waves = [f"wave {c}" for c in "hgfedcbalkji"]  # time order, not text order
    ordered = fit(table(waves), waves[T0], time_order=waves)
    assert ordered.att == BASE.att
    assert pickle.loads(pickle.dumps(ordered)).panel.period_position(waves[T0]) == T0
    cat = table(waves)
    cat["period"] = pd.Categorical(cat["period"], categories=waves, ordered=True)
    assert fit(cat, waves[T0]).att == BASE.att
    # Numbers as ordered categories keep the categories' order, not their own.
    years = [2030 - t for t in range(T)]
    cat = table(years)
    cat["period"] = pd.Categorical(cat["period"], categories=years, ordered=True)
    assert fit(cat, years[T0]).att == BASE.att
    # A panel built directly takes its columns' order for text that is no time...
    panel = quintara.Panel(outcomes(), [f"u{i}" for i in range(8)], waves)
    assert quintara.synth(panel, treated="u0", start=waves[T0]).att == BASE.att
    # ... and refuses times out of order.
    with pytest.raises(ValueError, match="^periods must be in ascending order$"):
        quintara.Panel(outcomes()[:, :2], [f"u{i}" for i in range(8)], ["Feb 2020", "Jan 2020"])


def test_adoption_periods_in_the_table_s_own_labels() -> None:
    labels, _ = SPELLINGS["Q42010"]
    df = table(labels)
    adopt = {f"u{i}": (labels[4 + i] if i < 4 else "never") for i in range(8)}
    df["adopt"] = df["unit"].map(adopt)
    by_int = table(list(range(T)))
    by_int["adopt"] = by_int["unit"].map({u: (4 + i if i < 4 else -1)
                                          for i, u in enumerate(sorted(adopt))})
    a = quintara.staggered(df, adoption="adopt", unit="unit", time="period", outcome="y")
    b = quintara.staggered(by_int, adoption="adopt", unit="unit", time="period", outcome="y")
    assert a.att == b.att and list(a.cohorts.dropna()) == labels[4:8]


def test_a_lazy_frame_is_collected() -> None:
    class Lazy:  # what a polars LazyFrame offers: collect(), no to_pandas()
        def collect(self) -> pd.DataFrame:
            return table(list(range(T)))

    assert fit(Lazy(), T0).att == BASE.att  # type: ignore[arg-type]

    class Eager:  # a polars DataFrame without pyarrow: to_pandas() cannot run
        frame = table(list(range(T)))
        columns = list(frame.columns)

        def to_pandas(self) -> pd.DataFrame:
            raise ModuleNotFoundError("No module named 'pyarrow'")

        def get_column(self, name: str) -> pd.Series:
            return self.frame[name]

    assert fit(Eager(), T0).att == BASE.att  # type: ignore[arg-type]
