"""Implied volatilities of an option chain: quotes across strikes, back to a smile and
forward again, for European quotes (closed form) and American ones (with the exercise-boundary engine)."""
import numpy as np

import sorvik_batch

spot, years, rate, dividend_yield = 100.0, 0.5, 0.04, 0.01
strikes = np.arange(70.0, 135.0, 5.0)
smile = 0.22 + 0.6 * np.log(strikes / spot) ** 2  # the volatilities the quotes were made with

for exercise in ("european", "american"):
    # Array inputs give arrays (a float only when every input is a scalar).
    quotes = np.asarray(sorvik_batch.value(spot, strikes, years, rate, smile, option_type="put", exercise=exercise,
                                           dividend_yield=dividend_yield).price)
    implied = np.asarray(sorvik_batch.implied_vol(quotes, spot, strikes, years, rate, option_type="put",
                                                  exercise=exercise, dividend_yield=dividend_yield))
    repriced = sorvik_batch.value(spot, strikes, years, rate, implied, option_type="put", exercise=exercise,
                                  dividend_yield=dividend_yield).price
    print(f"{exercise} puts: largest volatility error {np.max(np.abs(implied - smile)):.1e}, "
          f"largest repricing error {np.max(np.abs(repriced - quotes)):.1e}")
    for k, q, v in zip(strikes[::3], quotes[::3], implied[::3]):
        print(f"    K = {k:5.1f}   quote {q:8.4f}   implied vol {v:.6f}")
