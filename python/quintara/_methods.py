"""The labelled layer's synthetic-control method table: one row per method.

Each row names the compiled entry a method runs, how that entry is asked for
placebo inference and which other tests it has; `synth`, the CLI's
choices and the placebo gap paths all read it.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

__all__ = ["SynthMethod", "SYNTH"]


@dataclass(frozen=True)
class SynthMethod:
    """One method: its compiled entry, its placebo switch and its conformal test.

    `placebo` is "flag" (the entry takes ``placebo=True``), "inference"
    (``inference="placebo"``) or None (no placebo test). `conformal`: whether
    `fit_conformal` runs the method; `in_time`: whether `geo_test` (the power
    design's test) does. `conformal_names`: (the entry's name, fit_conformal's)
    for an option the two name differently.
    """

    entry: str
    placebo: str | None
    conformal: bool = False
    in_time: bool = False
    conformal_names: tuple[tuple[str, str], ...] = ()

    def placebo_kwargs(self) -> dict[str, Any]:
        """The keyword arguments that ask the entry for its placebo test."""
        if self.placebo == "flag":
            return {"placebo": True}
        if self.placebo == "inference":
            return {"inference": "placebo"}
        raise ValueError(f"{self.entry} has no placebo test")


SYNTH: dict[str, SynthMethod] = {
    "sc": SynthMethod("fit_sc", "flag", conformal=True, in_time=True),
    "fp": SynthMethod("fit_fp", "flag", conformal=True, in_time=True),
    "asc": SynthMethod(
        "fit_asc", "flag", conformal=True, in_time=True, conformal_names=(("sc_ridge", "ridge"),)
    ),
    "sdid": SynthMethod("fit_sdid", "inference", conformal=True, in_time=True),
    "rsc": SynthMethod("fit_rsc", "flag", in_time=True),
    "mcnnm": SynthMethod("fit_mcnnm", None),
    "cpasc": SynthMethod("fit_cpasc", None),
}
