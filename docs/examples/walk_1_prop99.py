"""
Proposition 99: a synthetic control
===================================

In 1988 California passed Proposition 99, a 25-cent tax on a pack of
cigarettes and a tobacco-control programme, effective from January 1989.
Abadie, Diamond & Hainmueller (2010) estimated its effect on cigarette sales by
a synthetic California: a weighted average of the other states that tracks
California's sales before 1989. This walkthrough fits that synthetic control
on the bundled panel, tests it with placebos, and compares it with synthetic
difference in differences and the conformal test.

The guides behind each step: :doc:`/guides/choosing` for the estimators,
:doc:`/guides/inference` for the tests.
"""

# %%
# The data
# --------
# The bundled long table has one row per state and year: 39 states (those
# without a large tobacco tax or programme of their own over the period), 1970
# to 2000, packs sold per capita.

import quintara
from quintara.datasets import load_table

smoking = load_table("prop99")
print(smoking.head())

panel = quintara.Panel.from_long(smoking, unit="State", time="Year", outcome="PacksPerCapita")
print(panel)

# %%
# The synthetic control
# ---------------------
# ``method="sc"`` solves donor weights on the simplex (non-negative, summing
# to one) that reproduce California's 1970-1988 sales as closely as possible.
# ``inference="placebo"`` ranks California's effect among placebo fits: each
# placebo pretends another state was treated and is refitted on the others.
# Placebos whose pre-period fit is more than five times worse than
# California's are left out, as their post-period gaps say little.

sc = quintara.synth(panel, treated="California", start=1989, method="sc", inference="placebo")
print(sc.summary())

# %%
# The ATT is the mean gap between California and its synthetic version over
# 1989-2000, in packs per capita. There is no standard error: a placebo test
# gives a p-value (the share of placebos at least as extreme, California
# included) and an interval, the constant effects the same test does not
# reject. With ``n`` placebos kept, the smallest attainable p-value is
# ``1 / (n + 1)``:

print(sc.raw.n_placebo_used, "placebos kept,", sc.raw.n_placebo_excluded, "left out")

# %%
# The weights say who synthetic California is:

print(sc.weights.nlargest(5).round(3))

# %%
# and the effect grows over time, reaching about 25 packs by the late 1990s:

print(sc.effects.loc[1989:].round(1))
# sphinx_gallery_start_ignore
assert -30 < sc.effects.loc[1996:].mean() < -20
# sphinx_gallery_end_ignore

# %%
sc.plot()

# %%
# The placebo gaps, California's drawn over them, show how unusual its
# post-1989 path is among the states that fit their past as well:

sc.plot_placebos()

# %%
# Synthetic difference in differences
# -----------------------------------
# SDID (Arkhangelsky et al. 2021) adds an intercept (so it matches trends,
# not levels) and time weights over the pre-period; its unit weights are
# regularised and spread over more states. The placebo test ranks
# ``|ATT| / pre-period RMSPE``, which compares across states of different
# sizes.

sdid = quintara.synth(panel, treated="California", start=1989, method="sdid", inference="placebo")
print(sdid.summary())

# %%
# The conformal test
# ------------------
# Instead of placebos across states, the conformal test of Chernozhukov,
# Wüthrich & Zhu (2021) permutes over time: under each hypothesised constant
# effect it refits on all periods and ranks the post-period's residuals among
# every cyclic block of the same length. Its interval inverts that test, and
# it also gives one interval per year.

conf = quintara.synth(panel, treated="California", start=1989, method="sc", inference="conformal")
print(conf.summary())
print(conf.pointwise.round(1).head())

# %%
# Side by side
# ------------
# ``tidy()`` gives every result the same columns, so fits of different
# methods and tests stack into one table:

import pandas as pd

table = pd.concat(
    {"sc, placebo": sc.tidy(), "sdid, placebo": sdid.tidy(), "sc, conformal": conf.tidy()}
)
print(table.round(3))

# %%
# :func:`quintara.table` lays the same fits out as a comparison table, one
# column per fit (``.to_html()`` and ``.to_latex()`` for reports; a notebook
# shows it as HTML):

print(quintara.table({"sc, placebo": sc, "sdid, placebo": sdid, "sc, conformal": conf}))
