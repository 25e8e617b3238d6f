"""Argument extraction: argument-list errors, conversion rules, array layouts."""

from __future__ import annotations

import numpy as np
import pytest

import quintara


def test_argument_list_errors(panel: np.ndarray) -> None:
    with pytest.raises(TypeError, match=r"^fit_sc\(\) missing 1 required positional argument: "
                                        r"'treat_time'$"):
        quintara.fit_sc(panel, [0])  # type: ignore[call-arg]
    with pytest.raises(TypeError, match=r"^fit_sc\(\) missing 2 required positional arguments: "
                                        r"'treated' and 'treat_time'$"):
        quintara.fit_sc(panel)  # type: ignore[call-arg]
    with pytest.raises(TypeError, match=r"^fit_sc\(\) got an unexpected keyword argument "
                                        r"'alpha'$"):
        quintara.fit_sc(panel, [0], 5, alpha=0.1)  # type: ignore[call-arg]
    with pytest.raises(TypeError, match=r"^fit_sc\(\) got multiple values for argument 'y'$"):
        quintara.fit_sc(panel, [0], 5, y=panel)  # type: ignore[misc]
    with pytest.raises(TypeError, match=r"^fit_sc\(\) takes from 3 to 9 positional arguments "
                                        r"but 10 were given$"):
        quintara.fit_sc(panel, [0], 5, 0.0, False, 0.9, 0.0, 0.0, 1.0, 1)  # type: ignore


def test_keywords_and_positionals_are_interchangeable(panel: np.ndarray) -> None:
    a = quintara.fit_sc(panel, [0], 20, 0.5)
    b = quintara.fit_sc(treat_time=20, y=panel, ridge=0.5, treated=[0])
    assert a.weights == b.weights and a.att == b.att


@pytest.mark.parametrize("bad, reason", [
    ([[1.0, 2.0], [3.0, 4.0]], "'list' object cannot be converted"),
    (np.zeros((3, 4), dtype=np.int64), "dtype int64"),
    (np.zeros((3, 4), dtype=np.float32), "dtype float32"),
    (np.zeros((3, 4), dtype=">f8"), "dtype >f8"),
    (np.zeros(4), "got a 1-D array"),
    (np.zeros((2, 3, 4)), "got a 3-D array"),
    (None, "'NoneType' object cannot be converted"),
])
def test_array_conversion_refuses_without_casting(bad: object, reason: str) -> None:
    with pytest.raises(TypeError) as exc:
        quintara.fit_sc(bad, [0], 1)  # type: ignore[arg-type]
    assert str(exc.value).startswith("argument 'y': ")
    assert reason in str(exc.value)


def test_scalar_conversions(panel: np.ndarray) -> None:
    with pytest.raises(TypeError, match="^argument 'placebo': 'int' object cannot be "
                                        "converted to 'bool'$"):
        quintara.fit_sc(panel, [0], 5, placebo=1)  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="^argument 'ridge': must be real number, not NoneType$"):
        quintara.fit_sc(panel, [0], 5, ridge=None)  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="^argument 'ridge': must be real number, not str$"):
        quintara.fit_sc(panel, [0], 5, ridge="0.1")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="^argument 'treat_time': 'float' object cannot be "
                                        "interpreted as an integer$"):
        quintara.fit_sc(panel, [0], 5.0)  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="^argument 'treated': 'str' object cannot be "):
        quintara.fit_sc(panel, "0", 5)  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="^argument 'treated': 'float' object cannot be "
                                        "interpreted as an integer$"):
        quintara.fit_sc(panel, [0.0], 5)  # type: ignore[list-item]
    # A negative count is the integer conversion's own OverflowError, unchanged.
    with pytest.raises(OverflowError, match="^can't convert negative int to unsigned$"):
        quintara.fit_sc(panel, [0], -1)
    with pytest.raises(OverflowError):
        quintara.fit_sc(panel, [-1], 5)


def test_accepted_scalar_and_sequence_types(panel: np.ndarray) -> None:
    base = quintara.fit_sc(panel, [0, 3], 20, ridge=0.25, placebo=False)
    same = quintara.fit_sc(panel, np.array([0, 3]), np.int64(20), ridge=np.float32(0.25),
                           placebo=np.bool_(False))
    also = quintara.fit_sc(panel, (np.uint8(0), 3), 20, ridge=0.25)
    assert base.weights == same.weights == also.weights


def test_conversion_precedes_validation(panel: np.ndarray) -> None:
    # A bad `level` value would be a ValueError, but the bad type of a later
    # argument is reported first because every argument converts first.
    with pytest.raises(TypeError, match="argument 'max_weight'"):
        quintara.fit_sc(panel, [0], 5, level=2.0, max_weight="x")  # type: ignore[arg-type]


@pytest.mark.parametrize("layout", ["fortran", "transposed", "negative", "strided", "readonly"])
def test_any_strides_read_like_a_contiguous_copy(panel: np.ndarray, layout: str) -> None:
    if layout == "fortran":
        view = np.asfortranarray(panel)
    elif layout == "transposed":
        view = np.ascontiguousarray(panel.T).T
    elif layout == "negative":
        view = np.ascontiguousarray(panel[::-1, ::-1])[::-1, ::-1]
    elif layout == "strided":
        wide = np.zeros((panel.shape[0] * 2, panel.shape[1] * 3))
        wide[::2, ::3] = panel
        view = wide[::2, ::3]
    else:
        view = panel.copy()
        view.flags.writeable = False
    assert np.array_equal(view, panel)
    a = quintara.fit_sc(view, [1, 2], 22, placebo=True)
    b = quintara.fit_sc(np.ascontiguousarray(panel), [1, 2], 22, placebo=True)
    assert (a.att, a.weights, a.inference_distribution) == (b.att, b.weights,
                                                            b.inference_distribution)


def test_input_array_is_not_modified(panel: np.ndarray) -> None:
    before = panel.copy()
    quintara.fit_sc(panel, [0], 20, placebo=True)
    assert np.array_equal(before, panel)
