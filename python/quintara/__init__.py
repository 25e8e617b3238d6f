"""quintara: causal effects from panel data and geo-experiment design.

Every estimator runs in a compiled, multi-threaded core whose results depend
only on the inputs and seeds, never on the number of threads.

Two layers:

- the labelled API: `Panel` (from a long or wide table) and the verbs
  `synth`, `staggered`, `power`, `select_markets`, `diagnose`, `analyze`,
  which take unit
  names and period labels and return results with `summary()`, `to_frame()`
  and `plot()`;
- the compiled functions (`fit_sc`, `geo_power`, ...), which take units x
  periods float64 NumPy arrays (rows are units, columns are periods) and
  row/column indices.
"""

from . import (
    _quintara,
    datasets as datasets,  # `quintara.datasets` without importing it by name
)
from ._quintara import *  # noqa: F403  (the compiled module defines __all__)
from ._quintara import PanicException
from .analysis import analyze as analyze
from .panel import Panel as Panel
from .results import ConformalResult as ConformalResult, SynthResult as SynthResult
from .results_analysis import ExperimentAnalysis as ExperimentAnalysis
from .results_bacon import BaconDecomposition as BaconDecomposition
from .results_cells import CellSelection as CellSelection
from .results_did import StaggeredResult as StaggeredResult
from .results_geo import Diagnostics as Diagnostics, PowerAnalysis as PowerAnalysis
from .results_select import MarketSelection as MarketSelection
from .tables import Table as Table, table as table
from .verbs import (
    diagnose as diagnose,
    power as power,
    select_markets as select_markets,
    staggered as staggered,
    synth as synth,
)

__version__: str = _quintara.version()
LABELLED = [
    "Panel",
    "synth",
    "staggered",
    "power",
    "select_markets",
    "diagnose",
    "analyze",
    "table",
]
RESULTS = [
    "SynthResult",
    "ConformalResult",
    "StaggeredResult",
    "BaconDecomposition",
    "PowerAnalysis",
    "MarketSelection",
    "CellSelection",
    "Diagnostics",
    "ExperimentAnalysis",
]
__all__ = [*_quintara.__all__, "PanicException", *LABELLED, *RESULTS, "Table"]
