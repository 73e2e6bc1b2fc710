"""A book of 100,000 options valued in one call on every core: Europeans in closed form,
Americans with the exercise-boundary engine, with a progress bar."""
import numpy as np

import sorvik_batch

rng = np.random.default_rng(2024)
n = 100_000
spot = rng.uniform(80.0, 120.0, n)
strike = rng.choice([90.0, 95.0, 100.0, 105.0, 110.0], n)
years = rng.uniform(0.05, 2.0, n)  # Actual/365 Fixed year fractions
vol = rng.uniform(0.15, 0.45, n)
kind = rng.choice(["call", "put"], n)
exercise = np.where(rng.random(n) < 0.01, "american", "european")  # 1,000 Americans

book = sorvik_batch.value(spot, strike, years, 0.04, vol, option_type=kind, exercise=exercise,
                          dividend_yield=0.01, progress=True)

# Array inputs give arrays (a float only when every input is a scalar).
price, delta, vega = np.asarray(book.price), np.asarray(book.delta), np.asarray(book.vega)
american = exercise == "american"
print(f"{n:,} options, {american.sum():,} of them American")
print(f"book value {price.sum():,.2f}, delta {delta.sum():,.2f}, vega {vega.sum():,.2f}")
print("first American:", {name: round(float(np.asarray(getattr(book, name))[american][0]), 6)
                           for name in ("price", "delta", "gamma", "theta")})
