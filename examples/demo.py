"""A first look at sorvik: an option and its time to expiry."""
import datetime as dt

import sorvik

UTC = dt.timezone.utc

option = sorvik.StockOption(
    strike=100.0,
    expiry_time=dt.datetime(2026, 6, 19, 20, 0, tzinfo=UTC),
    option_type=sorvik.OptionType.Call,
    exercise_style=sorvik.ExerciseStyle.European,
)
valuation_time = dt.datetime(2025, 6, 19, 20, 0, tzinfo=UTC)
print(f"strike {option.strike}, years to expiry {option.years_to_expiry(valuation_time):.6f}")
