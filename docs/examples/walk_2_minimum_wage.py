"""
Minimum wage: staggered difference in differences
=================================================

US states raised their minimum wages in different years. The bundled county
panel (500 counties, 2003-2007, the example data of Callaway & Sant'Anna 2021)
records log teen employment; counties in states that raised the minimum wage
in 2004, 2006 or 2007 form three cohorts, and 309 counties never saw a raise
in the period. This walkthrough estimates the effect of the raise by
Callaway & Sant'Anna's group-time effects, reads the event study and its
pre-trend test, asks how much a violation of parallel trends the conclusion
survives (Rambachan & Roth 2023), and compares the estimators that replace
two-way fixed effects.

See :doc:`/guides/choosing` for when each estimator applies and
:doc:`/guides/inference` for what the standard errors and intervals are.
"""

# %%
# The data
# --------
# ``first_treat`` is each county's adoption year, 0 for never treated.

import pandas as pd

import quintara
from quintara.datasets import load_table

jobs = load_table("mpdta")
print(jobs.head())
print(jobs.groupby("first_treat").countyreal.nunique())

# %%
# Group-time effects
# ------------------
# Callaway & Sant'Anna estimate one effect per cohort and period, ATT(g, t),
# each a two-period, two-group difference in differences against the
# comparison units: here the counties not yet treated by ``t``. They are then
# averaged by event time (periods since adoption), by cohort, by calendar
# period and overall, with standard errors from the influence functions.

design = {"adoption": "first_treat", "control": "notyet", "unit": "countyreal", "time": "year"}
cs = quintara.staggered(jobs, outcome="lemp", **design)
print(cs.summary())

# %%
# The effects are in log points: an ATT of -0.04 is about a 4% fall in teen
# employment. The event study holds one estimate per event time; the
# pre-period ones (``e < 0``) compare each period with the one before it, so
# under parallel trends they are zero up to noise. The Wald test of all of
# them at once is the pre-trend row of the summary.

print(cs.event_study.round(4))

# %%
cs.plot()

# %%
# How robust is it to non-parallel trends?
# ----------------------------------------
# The sensitivity analysis of Rambachan & Roth (2023) widens the interval of
# one post-period effect to stay valid when the trend difference after
# adoption may differ from the pre-period ones. By *relative magnitudes*, the
# post-period changes of the trend are at most ``m`` times the largest
# pre-period change; ``m = 0`` is exact parallel trends after adoption. The
# bounds are stated for trend differences against one reference period, so
# the fit for it takes the universal base (every event time against
# ``e = -1``) instead of the period-to-period changes above.

cs_universal = quintara.staggered(jobs, outcome="lemp", base_period="universal", **design)
rm = cs_universal.sensitivity(kind="relative_magnitude", m=[0, 0.5, 1, 1.5, 2], e=0)
print(rm.round(4))
print("original interval:", rm.attrs["original"], "breakdown m:", rm.attrs["breakdown"])
# sphinx_gallery_start_ignore
# The text below reads these numbers; a change in them must not pass unseen.
lo, hi = rm.attrs["original"]
assert lo < 0 < hi and rm.attrs["breakdown"] is None
# sphinx_gallery_end_ignore

# %%
# The on-impact effect (``e = 0``) is not distinguishable from zero even
# under parallel trends, so there is no breakdown value. By *smoothness*,
# the trend's second differences are at most ``m`` log points per period; for
# the average over the post-periods:

sm = cs_universal.sensitivity(kind="smoothness", m=[0, 0.005, 0.01, 0.02], e="average")
print(sm.round(4))
print("breakdown m:", sm.attrs["breakdown"])
# sphinx_gallery_start_ignore
assert sm.attrs["original"][1] < 0 and sm.attrs["breakdown"] > 0
# sphinx_gallery_end_ignore

# %%
# The average effect stays below zero as long as the trend bends by less than
# the breakdown value per period.
#
# Other estimators
# ----------------
# Two-way fixed effects with staggered adoption compare later-treated units
# with earlier-treated ones, whose effects are still moving. The
# Goodman-Bacon (2021) decomposition shows how much of the TWFE estimate rests
# on those "forbidden" comparisons:

bacon = quintara.staggered(
    jobs, adoption="first_treat", method="bacon", unit="countyreal", time="year", outcome="lemp"
)
print(bacon.summary())

# %%
bacon.plot()

# %%
# Sun & Abraham's (2021) interacted event study and the imputation estimator
# of Borusyak, Jaravel & Spiess (2024) avoid them. Their overall estimates,
# beside TWFE and Callaway & Sant'Anna, in one tidy table:

fits = {
    m: quintara.staggered(
        jobs, adoption="first_treat", method=m, unit="countyreal", time="year", outcome="lemp"
    )
    for m in ("twfe", "sunab", "imputation")
}
fits["callaway"] = cs
overall = pd.concat({m: f.tidy().loc[["ATT"]] for m, f in fits.items()})
print(overall.round(4))
# sphinx_gallery_start_ignore
assert overall.estimate.between(-0.05, -0.03).all()
# sphinx_gallery_end_ignore

# %%
# The four agree on a fall of three to five percent in teen employment. They
# do not estimate quite the same average: TWFE's weights come from the
# regression, Callaway & Sant'Anna's overall ATT weighs every post-adoption
# group-time effect by its cohort's size, and the imputation estimator averages every treated cell.
