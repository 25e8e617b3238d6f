"""bootstrap_mean: checks, resampling behaviour, and independence of thread count."""

from __future__ import annotations

import numpy as np
import pytest

import quintara

SERIES = [0.4, 1.3, -0.2, 2.2, 0.9, 1.7, -0.8, 0.1, 1.1, 0.6]


@pytest.mark.parametrize("kwargs, message", [
    ({"series": []}, "series must be non-empty and finite"),
    ({"series": [1.0, float("inf")], "block_len": 0}, "series must be non-empty and finite"),
    ({"block_len": 0, "n_reps": 0}, "block_len must be >= 1; got 0"),
    ({"n_reps": 0, "level": 2.0}, "n_reps must be >= 1; got 0"),
    ({"level": 1.0, "kind": "x"}, "level must be in (0, 1); got 1"),
    ({"kind": "Block"}, "unknown bootstrap kind 'Block' (expected block/stationary)"),
])
def test_messages_in_check_order(kwargs: dict, message: str) -> None:
    with pytest.raises(ValueError) as exc:
        quintara.bootstrap_mean(**{"series": SERIES, **kwargs})
    assert str(exc.value) == message


def test_block_as_long_as_series_has_zero_spread() -> None:
    # Integer values with an integral mean: every replicate is an exact rotation.
    s = [3.0, 1.0, 4.0, 1.0, 5.0, 10.0]
    for block_len in (6, 100):
        assert quintara.bootstrap_mean(s, block_len=block_len, n_reps=300) == (0.0, 4.0, 4.0)
    assert quintara.bootstrap_mean([2.5], kind="stationary") == (0.0, 2.5, 2.5)


@pytest.mark.parametrize("kind", ["block", "stationary"])
def test_iid_spread_and_reproducibility(kind: str) -> None:
    s = np.random.default_rng(1).normal(size=200)
    se, lo, hi = quintara.bootstrap_mean(list(s), kind=kind, block_len=1, n_reps=4000, seed=3)
    # The i.i.d. bootstrap SE of a mean is about the plug-in sd / sqrt(n).
    assert se == pytest.approx(s.std() / np.sqrt(len(s)), rel=0.08)
    assert lo < s.mean() < hi
    assert quintara.bootstrap_mean(list(s), kind=kind, block_len=1, n_reps=4000, seed=3) == \
        (se, lo, hi)
    assert quintara.bootstrap_mean(list(s), kind=kind, block_len=1, n_reps=4000, seed=4) != \
        (se, lo, hi)


def test_replicate_counts_beyond_memory_are_memory_errors() -> None:
    from conftest import staggered
    for call in (lambda n: quintara.bootstrap_mean([1.0, 2.0], n_reps=n),
                 lambda n: quintara.fit_callaway_py(staggered([-1, -1, 2, 2], 5), [-1, -1, 2, 2],
                                                    bands=True, n_reps=n)):
        for n in (2**50, 2**60):  # beyond the address space, beyond any vector
            with pytest.raises(MemoryError) as exc:
                call(n)
            assert str(exc.value) == f"argument 'n_reps': not enough memory for {n} replicates"
