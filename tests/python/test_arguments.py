"""Argument extraction: argument-list errors, conversion rules, array layouts."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import quintara
from quintara import _quintara


def test_argument_list_errors(panel: np.ndarray) -> None:
    for args, kwargs, message in [
        ((panel, [0]), {}, "missing 1 required positional argument: 'treat_time'"),
        ((panel,), {}, "missing 2 required positional arguments: 'treated' and 'treat_time'"),
        ((panel, [0], 5), {"alpha": 0.1}, "got an unexpected keyword argument 'alpha'"),
        ((panel, [0], 5), {"y": panel}, "got multiple values for argument 'y'"),
        ((panel, [0], 5, 0.0, False, 0.9, 0.0, 0.0, 1.0, "single", 9, 0, 0.0, 1), {},
         "takes from 3 to 13 positional arguments but 14 were given"),
    ]:
        with pytest.raises(TypeError) as exc:
            quintara.fit_sc(*args, **kwargs)
        assert str(exc.value) == "fit_sc() " + message


def test_equivalent_spellings_give_the_same_fit(panel: np.ndarray) -> None:
    base = quintara.fit_sc(panel, [0, 3], 20, 0.25)
    for r in (quintara.fit_sc(treat_time=20, y=panel, ridge=0.25, treated=[0, 3]),
              quintara.fit_sc(panel, np.array([0, 3]), np.int64(20), ridge=np.float32(0.25),
                              placebo=np.bool_(False)),
              quintara.fit_sc(panel, (np.uint8(0), 3), 20, ridge=0.25)):
        assert (r.weights, r.att) == (base.weights, base.att)


def _lying(data: np.ndarray, **claims: object) -> np.ndarray:
    """A view of `data` whose Python attributes claim `claims` instead."""
    cls = type("Lying", (np.ndarray,), {k: property(lambda self, v=v: v)
                                        for k, v in claims.items()})
    return data.view(cls)


F8 = np.dtype("float64")


@pytest.mark.parametrize("bad, reason", [
    ([[1.0, 2.0], [3.0, 4.0]], "'list' object cannot be converted"),
    (np.zeros((3, 4), dtype=np.int64), f"buffer format '{np.dtype(np.int64).char}' with 8-byte"),
    (np.zeros((3, 4), dtype=np.float32), "buffer format 'f' with 4-byte"),
    (np.zeros((3, 4), dtype=">f8"), "buffer format '>d' with 8-byte"),
    (None, "'NoneType' object cannot be converted"),
    # Subclasses whose attributes lie: only the buffer counts (so their
    # dimensions also stand for plain arrays of those dimensions).
    (_lying(np.ones((6, 10), dtype=np.float32), dtype=F8), "buffer format 'f'"),
    (_lying(np.ones((6, 10), dtype=np.int8), dtype=F8, itemsize=8), "buffer format 'b'"),
    (_lying(np.array([[None] * 3] * 2), dtype=F8), "buffer format 'O'"),
    (_lying(np.zeros((6, 10, 2)), ndim=2, shape=(6, 10)), "got a 3-D array"),
    (_lying(np.zeros(60), ndim=2, shape=(6, 10)), "got a 1-D array"),
])
def test_array_conversion_refuses_without_casting(bad: object, reason: str) -> None:
    with pytest.raises(TypeError) as exc:
        quintara.fit_sc(bad, [0], 1)  # type: ignore[arg-type]
    assert str(exc.value).startswith("argument 'y': ") and reason in str(exc.value)


def test_native_float64_buffers_are_read_whatever_the_attributes_say(panel: np.ndarray) -> None:
    base = quintara.fit_sc(panel, [0], 20)
    for y in (panel.astype("<f8"), panel.astype("=f8"),
              _lying(panel, dtype=np.dtype(np.float32), ndim=3, shape=(1, 2, 3))):
        assert quintara.fit_sc(y, [0], 20).weights == base.weights


def test_scalar_conversions(panel: np.ndarray) -> None:
    # Every argument converts before any is validated, so the bad level of the
    # last case loses to the bad type of max_weight. A negative or too large
    # count stays an OverflowError, named like the rest.
    for kwargs, error, message in [
        ({"placebo": 1}, TypeError,
         "argument 'placebo': 'int' object cannot be converted to 'bool'"),
        ({"ridge": None}, TypeError, "argument 'ridge': must be real number, not NoneType"),
        ({"treat_time": 5.0}, TypeError,
         "argument 'treat_time': 'float' object cannot be interpreted as an integer"),
        *[({"treated": seq}, TypeError,
           f"argument 'treated': '{type(seq).__name__}' object cannot be converted to a sequence "
           "of non-negative integers") for seq in ("0", b"\x00", bytearray(b"\x00"))],
        ({"treat_time": -1}, OverflowError,
         "argument 'treat_time': can't convert negative int to unsigned"),
        ({"treated": [-1]}, OverflowError,
         "argument 'treated': can't convert negative int to unsigned"),
        ({"treat_time": 2**64}, OverflowError, "argument 'treat_time': int too big to convert"),
        ({"level": 2.0, "max_weight": "x"}, TypeError,
         "argument 'max_weight': must be real number, not str"),
        # NumPy would drop the imaginary part with only a warning.
        ({"ridge": np.complex128(1.0)}, TypeError,
         "argument 'ridge': must be real number, not complex128"),
    ]:
        with pytest.raises(error) as exc:
            quintara.fit_sc(**{"y": panel, "treated": [0], "treat_time": 5, **kwargs})
        assert str(exc.value) == message


def test_messages_keep_what_follows_a_nul(panel: np.ndarray) -> None:
    # A quoted value, and a conversion's own message, whole.
    with pytest.raises(ValueError, match="'single\x00x' "):
        quintara.fit_sc(panel, [0], 5, placebo_size="single\0x")

    class Index:
        def __index__(self) -> int:
            raise TypeError("no\0index")

    with pytest.raises(TypeError, match="^argument 'treat_time': no\x00index$"):
        quintara.fit_sc(panel, [0], Index())  # type: ignore[arg-type]


def test_sequences_are_read_in_order_whatever_their_indexing(panel: np.ndarray) -> None:
    # A pandas Series indexes by label: obj[i] is not its i-th value.
    cohorts = [-1] * 6 + [20] * 3 + [24] * 3
    want = quintara.fit_twfe_py(panel, cohorts).att
    assert quintara.fit_twfe_py(panel, pd.Series(cohorts, index=range(11, -1, -1))).att == want
    assert quintara.fit_sc(panel, pd.Series([0, 1], index=[5, 6]), 20).att == \
        quintara.fit_sc(panel, [0, 1], 20).att

    class Liar(list):
        def __len__(self) -> int:
            return 5

    for bad, reason in ((np.array(0), "'ndarray' object cannot be converted to a sequence"),
                        (Liar([0, 1]), "'Liar' object gave 2 items but has length 5")):
        with pytest.raises(TypeError, match=rf"^argument 'treated': {reason}"):
            quintara.fit_sc(panel, bad, 20)


def _misaligned(a: np.ndarray, order: str = "C") -> np.ndarray:
    """A copy of `a` one byte into a bytearray, as a buffer may be handed over."""
    out = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, a.size, offset=1).reshape(a.shape,
                                                                                  order=order)
    out[...] = a
    assert not out.flags.aligned
    return out


LAYOUTS = {
    "fortran": np.asfortranarray,
    "transposed": lambda p: np.ascontiguousarray(p.T).T,
    "negative": lambda p: np.ascontiguousarray(p[::-1, ::-1])[::-1, ::-1],
    "rows_reversed": lambda p: np.ascontiguousarray(p[::-1])[::-1],
    "strided": lambda p: np.repeat(np.repeat(p, 2, axis=0), 3, axis=1)[::2, ::3],
    "readonly": lambda p: np.lib.stride_tricks.as_strided(p, writeable=False),
    "misaligned": _misaligned,
    "misaligned_fortran": lambda p: _misaligned(p, "F"),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_strides_read_like_a_contiguous_copy(panel: np.ndarray, layout: str) -> None:
    before = panel.copy()
    view = LAYOUTS[layout](panel)
    a = quintara.fit_sc(view, [1, 2], 22, placebo=True)
    b = quintara.fit_sc(panel, [1, 2], 22, placebo=True)
    assert (a.att, a.weights, a.inference_distribution) == (b.att, b.weights,
                                                            b.inference_distribution)
    assert np.array_equal(view, before) and np.array_equal(panel, before)  # nothing written


@pytest.mark.parametrize("layout", ["c", "rows_reversed", "fortran", "strided"])
def test_a_large_panel_is_copied_whole(layout: str) -> None:
    # Large enough to be copied by several tasks: every row must land in
    # its place whatever the layout (a misplaced range moves the estimate).
    rng = np.random.default_rng(7)
    n, t = 9001, 10
    y = rng.normal(size=(n, t)) + np.arange(t) + rng.normal(size=(n, 1))
    cohorts = rng.choice([-1, 4], size=n).tolist()
    y[np.array(cohorts) == 4, 4:] += 1.0
    view = y if layout == "c" else LAYOUTS[layout](y)
    a = quintara.fit_callaway_py(view, cohorts)
    # Event time 0 is the (4, 4) cell against the never treated.
    change = y[:, 4] - y[:, 3]
    g = np.array(cohorts) == 4
    want = change[g].mean() - change[~g].mean()
    assert a.event_att[list(a.event_time).index(0)] == pytest.approx(want, rel=1e-12)
    b = quintara.fit_callaway_py(np.ascontiguousarray(y), cohorts)
    assert (list(a.event_att), list(a.event_se)) == (list(b.event_att), list(b.event_se))


def test_misaligned_buffers_read_like_aligned_copies(panel: np.ndarray) -> None:
    # Panels with missing cells, item lists, stacks and the long-table passes.
    cohorts = np.array([-1] * 6 + [20] * 3 + [24] * 3)
    w = np.linspace(0.5, 2.0, 12)
    holes = panel.copy()
    holes[0, 3] = np.nan
    for y, kw in ((panel, {}), (holes, {"missing": "keep"})):
        want = quintara.fit_twfe_py(y, cohorts, weights=w, **kw)
        got = quintara.fit_twfe_py(_misaligned(y), _misaligned(cohorts), weights=_misaligned(w),
                                   **kw)
        assert (got.att, got.se) == (want.att, want.se)
    y3 = np.stack([panel, panel[::-1]])
    assert np.array_equal(quintara.fit_many(_misaligned(y3), [0], 20),
                          quintara.fit_many(y3, [0], 20))
    n, t = panel.shape
    unit, time = np.repeat(np.arange(n), t), np.tile(np.arange(t), n)

    def out(r: object) -> object:  # a buffer, a count, or a dict holding a buffer
        return {**r, "y": bytes(r["y"])} if isinstance(r, dict) else (
            r if isinstance(r, int) else bytes(r))  # type: ignore[call-overload]

    for f, args in ((_quintara._long_layout, (unit, time, panel.ravel())),
                    (_quintara._offset_codes, (cohorts, 20, 10)),
                    (_quintara._run_firsts, (unit, t)), (_quintara._count_nan, (holes.ravel(),))):
        moved = [_misaligned(a) if isinstance(a, np.ndarray) else a for a in args]
        assert out(f(*moved)) == out(f(*args))


def test_index_lists_read_alike_whatever_holds_the_integers(panel: np.ndarray) -> None:
    # Exact ints take a short path; every other integer type, and sequences
    # other than lists, the general one: the same fit either way.
    want = quintara.fit_sc(panel, [0, 1], 5).att
    for treated in ([np.int64(0), 1], (0, 1), np.array([0, 1]), [False, 1]):
        assert quintara.fit_sc(panel, treated, 5).att == want

    class Shrinks:
        # An item that empties the list while it converts: an error, not a
        # read past the list's end.
        def __index__(self) -> int:
            victim.clear()
            return 0

    victim: list[object] = [Shrinks(), 1]
    with pytest.raises(IndexError):
        quintara.fit_sc(panel, victim, 5)
