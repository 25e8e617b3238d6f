"""quintara: causal effects from panel data and geo-experiment design.

Every estimator runs in a compiled, multi-threaded core whose results depend
only on the inputs and seeds, never on the number of threads. Arrays are
units x periods float64 NumPy arrays (rows are units, columns are periods).
"""

from . import _quintara
from ._quintara import *  # noqa: F403  (the compiled module defines __all__)
from ._quintara import PanicException

__version__: str = _quintara.version()
__all__ = [*_quintara.__all__, "PanicException"]
