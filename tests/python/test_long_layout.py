"""The compiled layout of integer-labelled long tables against the general,
hashing path: the same panel, the same unit-level data and the same refusals
on every table either can take."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quintara
from quintara import _quintara, panel as panel_mod
from quintara.datasets import load_table


def _both(df: pd.DataFrame, monkeypatch: pytest.MonkeyPatch, **kw: object):
    """(compact, hashed) outcomes of from_long: a Panel or the raised message."""

    def build():
        try:
            return quintara.Panel.from_long(df, unit="u", time="t", outcome="y", **kw)
        except ValueError as e:
            return str(e)

    fast = build()
    with monkeypatch.context() as m:
        m.setattr(panel_mod, "_compact_layout", lambda *a: None)
        slow = build()
    return fast, slow


def _table(seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    n, t = int(rng.integers(1, 7)), int(rng.integers(1, 6))
    lo_u = int(rng.choice([0, -50, 2**40]))
    units = np.arange(n) + lo_u
    times = np.arange(t) + int(rng.choice([1, 1990, -3]))
    df = pd.DataFrame({"u": np.repeat(units, t), "t": np.tile(times, n),
                       "y": rng.normal(size=n * t), "c": np.repeat(rng.integers(0, 3, n), t),
                       "f": np.repeat(rng.normal(size=n), t)})
    if seed % 3 == 0:
        df.loc[df.index[int(rng.integers(len(df)))], "f"] = np.nan  # NaN counts as a value
    kind = seed % 6
    if kind == 1:
        df = df.sample(frac=1.0, random_state=seed)  # shuffled
    elif kind == 2 and len(df) > 1:
        df = df.drop(df.index[int(rng.integers(len(df)))])  # a missing cell
    elif kind == 3:
        df = pd.concat([df, df.iloc[[int(rng.integers(len(df)))]]])  # a duplicate
    elif kind == 4:
        df = df[df.u != units[n // 2]] if n > 2 else df  # a gap in the unit labels
    elif kind == 5:
        df.loc[df.index[int(rng.integers(len(df)))], "y"] = [np.nan, np.inf][seed % 2]
    if seed % 4 == 0:
        df = df.astype({"u": np.int32, "t": np.int16})
    return df


@pytest.mark.parametrize("seed", range(36))
@pytest.mark.parametrize("missing", ["refuse", "keep"])
def test_the_compiled_layout_builds_the_hashed_panel(
    seed: int, missing: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    df = _table(seed)
    fast, slow = _both(df, monkeypatch, missing=missing)
    if isinstance(slow, str):
        assert fast == slow
        return
    assert isinstance(fast, quintara.Panel)
    np.testing.assert_array_equal(fast.y, slow.y)
    pd.testing.assert_index_equal(fast.units, slow.units)
    pd.testing.assert_index_equal(fast.periods, slow.periods)
    # A column read before the frame of unit-level columns is formed is the
    # frame's column.
    columns = {c: fast.unit_column(c) for c in slow.unit_data.columns}
    pd.testing.assert_frame_equal(fast.unit_data, slow.unit_data)
    for c, values in columns.items():
        pd.testing.assert_series_equal(values, fast.unit_data[c])
    assert fast.y.flags.writeable and fast.y.flags.c_contiguous
    # The mark that lets a verb skip its own scan for missing cells is sound.
    assert not (fast._built_complete and np.isnan(fast.y).any())


def test_a_time_order_reorders_integer_periods(monkeypatch: pytest.MonkeyPatch) -> None:
    df = pd.DataFrame({"u": [1, 1, 1, 2, 2, 2], "t": [1, 2, 3] * 2, "y": np.arange(6.0)})
    fast, slow = _both(df, monkeypatch, time_order=[3, 1, 2])
    assert list(fast.periods) == [3, 1, 2]
    np.testing.assert_array_equal(fast.y, slow.y)
    np.testing.assert_array_equal(fast.y[0], [2.0, 0.0, 1.0])


def test_labels_the_compiled_layout_declines() -> None:
    i8 = np.array
    # Gaps, a range far wider than the table, and labels that wrap past the
    # int64 maximum are left to the hashing path.
    assert _quintara._long_layout(i8([1, 3]), i8([0, 0]), np.zeros(2)) is None
    assert _quintara._long_layout(i8([0, 10**12]), i8([0, 0]), np.zeros(2)) is None
    top = np.iinfo(np.int64)
    wrap = i8([top.max, top.min], dtype=np.int64)
    assert _quintara._long_layout(wrap, i8([0, 0]), np.zeros(2)) is None
    # The extremes themselves are ordinary labels.
    edge = i8([top.max - 1, top.max], dtype=np.int64)
    got = _quintara._long_layout(edge, i8([5, 5]), np.array([1.0, 2.0]))
    assert got["unit_lo"] == top.max - 1 and got["n_units"] == 2 and got["in_order"]
    with pytest.raises(TypeError, match="argument 'time': expected a 1-D array of int64"):
        _quintara._long_layout(i8([1]), np.array([1.0]), np.zeros(1))
    with pytest.raises(ValueError, match="same length"):
        _quintara._long_layout(i8([1, 2]), i8([1, 2]), np.zeros(1))


def test_strided_columns_are_read_through_their_strides() -> None:
    u = np.repeat(np.arange(3), 2)
    block = np.stack([u, np.tile([7, 8], 3)], axis=1)  # columns strided by 16 bytes
    y = np.arange(6.0)
    got = _quintara._long_layout(block[:, 0], block[:, 1], y[::-1][::-1])
    shuffled = _quintara._long_layout(block[::-1, 0], block[::-1, 1], y[::-1])
    assert not shuffled["in_order"]
    for out in (got, shuffled):
        np.testing.assert_array_equal(np.frombuffer(out["y"]).reshape(3, 2), y.reshape(3, 2))


@pytest.mark.parametrize("defect", ["none", "swap", "nan", "inf"])
def test_a_large_table_checked_in_ranges(defect: str) -> None:
    # Large enough that the compiled passes split the rows into ranges: a
    # defect in the last range only must still be seen, and counted once.
    n_units, n_periods = 40_011, 7  # 280,077 rows
    unit = np.repeat(np.arange(n_units, dtype=np.int64), n_periods)
    time = np.tile(np.arange(n_periods, dtype=np.int64), n_units)
    y = np.arange(unit.size, dtype=np.float64)
    late = unit.size - 3
    if defect == "swap":
        time[[late, late + 1]] = time[[late + 1, late]]
    elif defect in ("nan", "inf"):
        y[[5, late]] = np.nan if defect == "nan" else np.inf
    got = _quintara._long_layout(unit, time, y)
    assert got["in_order"] == (defect != "swap")
    assert (got["n_nan"], got["n_inf"]) == {"nan": (2, 0), "inf": (0, 2)}.get(defect, (0, 0))
    cells = np.frombuffer(got["y"], dtype=np.float64).reshape(n_units, n_periods)
    want = np.full((n_units, n_periods), np.nan)
    want[unit, time] = y
    np.testing.assert_array_equal(cells, want)


def test_a_shuffled_table_counts_its_values_and_marks_completeness() -> None:
    # 300,000 shuffled rows (scattered, not copied): the counts, the cells,
    # and the completeness mark of the panel built from them.
    n, t = 30_000, 10
    rng = np.random.default_rng(4)
    y = rng.normal(size=n * t)
    y[rng.choice(n * t, 37, replace=False)] = np.nan
    y[rng.choice(np.flatnonzero(~np.isnan(y)), 5, replace=False)] = -np.inf
    u, tt = np.repeat(np.arange(n), t), np.tile(np.arange(t), n)
    p = rng.permutation(n * t)
    u, tt, y = u[p], tt[p], y[p]
    got = _quintara._long_layout(u, tt, y)
    assert not got["in_order"]
    assert (got["n_nan"], got["n_inf"]) == (37, 5)
    placed = np.frombuffer(got["y"], dtype=np.float64)
    want = np.full(n * t, np.nan)
    want[u * t + tt] = y
    np.testing.assert_array_equal(placed, want)
    df = pd.DataFrame({"u": u, "t": tt, "y": np.where(np.isinf(y), 0.0, y)})
    assert not quintara.Panel.from_long(df, "u", "t", "y", missing="keep")._built_complete
    clean = df.assign(y=np.nan_to_num(df["y"].to_numpy()))
    assert quintara.Panel.from_long(clean, "u", "t", "y")._built_complete


def test_run_and_order_checks_find_one_changed_row_anywhere() -> None:
    # 30,000 runs of 10 (several of the pool's ranges): one row changed
    # at a run's first or last row, at a range edge, or at either end.
    n, w = 30_000, 10
    base_u = np.repeat(np.arange(5, 5 + n), w)
    base_t = np.tile(np.arange(w), n)
    rng = np.random.default_rng(2)
    column = np.repeat(rng.integers(0, 4, n), w)
    spots = [0, 1, w - 1, w, 65529, 65530, 65531, 65535, 65536, 65537, 65540, n * w - w, n * w - 1]
    spots += rng.integers(0, n * w, 8).tolist()
    for r in spots:
        for values in (column, column.astype(np.float64)):
            changed = values.copy()
            changed[r] = changed[r] + 1
            firsts = np.frombuffer(_quintara._run_firsts(values, w), values.dtype)
            np.testing.assert_array_equal(firsts, values[::w])
            assert _quintara._run_firsts(changed, w) is None, r
        for u, t in ((base_u.copy(), base_t), (base_u, base_t.copy())):
            (u if u is not base_u else t)[r] += 1
            got = _quintara._long_layout(u, t, np.zeros(n * w))
            assert got is None or not got["in_order"], r
    assert _quintara._long_layout(base_u, base_t, np.zeros(n * w))["in_order"]
    # A run of NaN is not one value, nor is a run with one NaN (the last run here).
    for rows in (slice(w, 2 * w), [n * w - 2]):
        with_nan = column.astype(np.float64)
        with_nan[rows] = np.nan
        assert _quintara._run_firsts(with_nan, w) is None
    assert _quintara._run_firsts(column[:-1], w) is None  # not whole runs


def test_large_outputs_own_their_storage() -> None:
    # Outputs of 4 MiB and more live in blocks that are reused once freed:
    # an array keeps its block alive, and a reused block is written in full
    # (the holes of a scattered table are NaN, never an earlier call's values).
    n, t = 70_000, 10  # 5.6 MB of cells
    u, tt = np.repeat(np.arange(n), t), np.tile(np.arange(t), n)
    first = np.frombuffer(_quintara._long_layout(u, tt, np.full(n * t, 1.0))["y"])
    assert first.flags.writeable and type(first.base).__name__ == "_Block"
    second = np.frombuffer(_quintara._long_layout(u, tt, np.full(n * t, 2.0))["y"])
    first[0] = 5.0
    assert (second == 2.0).all() and (first[1:] == 1.0).all()
    del first, second
    rows = np.arange(n * t)[::-1][:-1]  # reversed, without the first cell's row
    holed = np.frombuffer(_quintara._long_layout(u[rows], tt[rows], np.full(rows.size, 3.0))["y"])
    assert np.isnan(holed[0]) and (holed[1:] == 3.0).all()
    with pytest.raises(TypeError, match="No constructor"):
        type(holed.base)()


def test_pickles_keep_the_unit_level_columns_old_and_new() -> None:
    import pickle

    df = pd.DataFrame({"u": np.repeat([1, 2, 3], 2), "t": np.tile([5, 6], 3),
                       "y": np.arange(6.0), "g": np.repeat([7, 8, 9], 2)})
    p = quintara.Panel.from_long(df, "u", "t", "y")
    want = pd.DataFrame({"g": [7, 8, 9]}, index=pd.Index([1, 2, 3], name="u"))
    fresh = pickle.loads(pickle.dumps(p))  # pickled before the frame is formed
    pd.testing.assert_frame_equal(fresh.unit_data, want)
    # A panel pickled when the frame was an attribute of its own.
    state = {k: v for k, v in p.__dict__.items() if k not in ("_unit_frame", "_unit_columns")}
    old = quintara.Panel.__new__(quintara.Panel)
    old.__setstate__({**state, "unit_data": want})
    pd.testing.assert_frame_equal(old.unit_data, want)
    np.testing.assert_array_equal(old.unit_column("g").to_numpy(), [7, 8, 9])


def test_unit_data_is_matched_to_units_by_label() -> None:
    jobs = load_table("mpdta")
    p = quintara.Panel.from_long(jobs, unit="countyreal", time="year", outcome="lemp")
    back = p.unit_data.iloc[::-1]
    q = quintara.Panel(p.y, p.units, p.periods, unit_data=back)
    assert quintara.staggered(q, adoption="first_treat").att == \
        quintara.staggered(p, adoption="first_treat").att
    q.unit_data = pd.concat([back, back.iloc[:1].set_axis([-1])])  # another unit: left out
    pd.testing.assert_frame_equal(q.unit_data, p.unit_data)
    with pytest.raises(ValueError, match=r"^unit_data must be indexed by unit label; it lacks "
                                         r"units 8001, 8023, 8041, 8075, 8117, ... \(245 more\)$"):
        quintara.Panel(p.y, p.units, p.periods, unit_data=p.unit_data.iloc[1::2])
    with pytest.raises(ValueError, match=r"^unit_data lists units more than once: 8001$"):
        q.unit_data = pd.concat([back, back.loc[[8001]]])
    # Rows are positions in range.
    assert p.without_units([0, 499]).shape == (498, p.shape[1])
    for rows in ([500], [-1], [0.9], ["1001"]):
        with pytest.raises(ValueError, match=r"^rows must be row positions from 0 to 499; got "):
            p.without_units(rows)
    clash = quintara.Panel(p.y[:2], p.units[:2], p.periods, outcome="unit")
    with pytest.raises(ValueError, match=r"^to_long: the outcome is named 'unit', as a label"):
        clash.to_long()


def test_a_tuple_is_one_unit_where_units_are_tuples() -> None:
    y = np.random.default_rng(0).normal(size=(4, 6)).cumsum(axis=1)
    pairs = quintara.Panel(y, [("CA", 1), ("CA", 2), ("NV", 1), ("OR", 1)], list(range(6)))
    assert pairs.unit_positions(("CA", 2)) == [1]
    assert pairs.unit_positions([("CA", 2), ("NV", 1)]) == [1, 2]
    plain = quintara.Panel(y, ["a", "b", "c", "d"], list(range(6)))
    assert plain.unit_positions(("a", "c")) == [0, 2]  # a tuple of labels, as before
