"""Books of options and implied volatilities on every core, over sorvik's C++ engine.

Arrays in, arrays out: ``value`` prices a book, ``implied_vol`` runs quotes back into
volatilities, ``year_fraction`` measures time to expiry as ``sorvik`` does. Inputs broadcast together with numpy's rules; work runs without the interpreter
lock on a pool of worker threads.
"""
from importlib.metadata import version as _version

from ._book import Valuation, value
from ._implied import implied_vol
from ._time import year_fraction

__all__ = ["Valuation", "implied_vol", "value", "year_fraction"]
__version__ = _version("sorvik")
