"""Generates python/quintara/data/geo_sales.csv, the bundled geo-experiment panel.

Weekly sales of 40 markets over two years (104 weeks from Monday 2024-01-01):
a market-specific level (log-normal sizes), a market-specific linear trend,
a yearly seasonal cycle shared by all markets (with a small market-specific
amplitude and phase), a year-end holiday bump, and AR(1) market-level noise.
Nothing is treated. Run once; the fixed seed makes the file reproducible:

    python scripts/make_geo_panel.py
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

MARKETS = [
    "Atlanta",
    "Austin",
    "Baltimore",
    "Boston",
    "Charlotte",
    "Chicago",
    "Cincinnati",
    "Cleveland",
    "Columbus",
    "Dallas",
    "Denver",
    "Detroit",
    "Houston",
    "Indianapolis",
    "Jacksonville",
    "Kansas City",
    "Las Vegas",
    "Los Angeles",
    "Memphis",
    "Miami",
    "Milwaukee",
    "Minneapolis",
    "Nashville",
    "New Orleans",
    "New York",
    "Oklahoma City",
    "Orlando",
    "Philadelphia",
    "Phoenix",
    "Pittsburgh",
    "Portland",
    "Raleigh",
    "Sacramento",
    "Salt Lake City",
    "San Antonio",
    "San Diego",
    "San Francisco",
    "Seattle",
    "St. Louis",
    "Tampa",
]
WEEKS = 104
SEED = 20240101


def main() -> None:
    rng = np.random.default_rng(SEED)
    n = len(MARKETS)
    week = np.arange(WEEKS)
    level = np.exp(rng.normal(np.log(50_000.0), 0.6, n))  # sales in a typical week
    trend = rng.normal(0.0015, 0.001, n)  # relative growth per week
    amp = 0.12 * (1.0 + rng.normal(0.0, 0.15, n))  # yearly seasonal amplitude
    phase = rng.normal(0.0, 0.15, n)  # radians
    season = amp[:, None] * np.sin(2 * np.pi * week[None, :] / 52.0 - np.pi / 2 + phase[:, None])
    holiday = np.where((week % 52 >= 46) & (week % 52 <= 50), 0.12, 0.0)  # late Nov to Christmas
    sigma = rng.uniform(0.02, 0.05, n)  # market-level noise, larger for some markets
    noise = np.zeros((n, WEEKS))
    noise[:, 0] = rng.normal(0.0, sigma)
    for t in range(1, WEEKS):
        noise[:, t] = 0.5 * noise[:, t - 1] + rng.normal(0.0, sigma)
    sales = (
        level[:, None] * (1.0 + trend[:, None] * week[None, :]) * np.exp(season + holiday + noise)
    )
    dates = np.datetime64("2024-01-01") + 7 * week
    out = Path(__file__).resolve().parents[1] / "python" / "quintara" / "data" / "geo_sales.csv"
    with out.open("w", encoding="utf-8", newline="\n") as f:
        f.write("market,week,sales\n")
        for i, m in enumerate(MARKETS):
            for t in range(WEEKS):
                f.write(f"{m},{dates[t]},{sales[i, t]:.2f}\n")
    print(f"wrote {out} ({n} markets x {WEEKS} weeks)")


if __name__ == "__main__":
    main()
