"""The market building blocks on their own: day counts, tenors, compounding,
interest rates and rate curves."""
import datetime as dt

import sorvik as s

reference = dt.date(2024, 1, 1)
print("1M after 31 Jan 2024:", s.Tenor.months(1).advance(dt.date(2024, 1, 31)))

semi_annual = s.InterestRate(0.05, s.Compounding.compounded(s.Frequency.SemiAnnual), s.DayCountConvention.Act365Fixed)
print("discount factor, 2y at 5% semi-annual:", semi_annual.discount_factor(2.0))

continuous = s.Compounding.continuous()
curve = s.RateCurve.interpolated(
    reference,
    [s.Tenor.years(1), s.Tenor.years(2), s.Tenor.years(5)],
    [s.InterestRate(r, continuous, s.DayCountConvention.Act365Fixed) for r in (0.03, 0.035, 0.04)],
)
for t in (0.5, 1.5, 3.0, 7.0):
    print(f"t={t:4}: zero rate {curve.zero_rate(t):.6f}, discount factor {curve.discount_factor(t):.6f}")
