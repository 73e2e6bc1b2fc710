"""Books of options and implied volatilities on every core, over sorvik's C++ engine.

Arrays in, arrays out: ``value`` prices a book and returns a ``Valuation`` of prices and
greeks, ``implied_vol`` runs quoted prices back into volatilities, ``year_fraction`` measures
time to expiry from dates exactly as ``sorvik`` does. Per-option inputs broadcast together with
numpy's rules; the work runs without the interpreter lock on a pool of worker threads, with
progress reports and Ctrl-C honoured. Units as in ``sorvik``: rates, volatilities and dividend
yields are fractions per year, times are years, theta is per year, vega and rho are per 1.0 of
σ and r.
"""
from importlib.metadata import version as _version

from ._book import Valuation, value
from ._implied import implied_vol
from ._time import year_fraction

__all__ = ["Valuation", "implied_vol", "value", "year_fraction"]
__version__ = _version("sorvik")
