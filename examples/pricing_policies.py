"""Choosing the pricing method per option kind, and the effect of the grid."""
import datetime as dt

import sorvik as s

UTC = dt.timezone.utc
ACT365 = s.DayCountConvention.Act365Fixed
now = dt.datetime(2024, 1, 2, tzinfo=UTC)
expiry = dt.datetime(2025, 1, 1, tzinfo=UTC)  # 365 days: T = 1
market = s.OptionMarketFrame(100.0, s.RateCurve.continuous(0.05, ACT365), s.VolSurface.flat(0.2, ACT365))
put = s.StockOption(100.0, expiry, s.OptionType.Put, s.ExerciseStyle.American)

closed_form = s.Config().add_policy(s.InstrumentPolicy().analytic())
print("American put priced with the European formula:", put.valuation().market(market).config(closed_form).at(now).compute())

for nodes, steps in [(201, 10), (1001, 50), (4001, 200)]:
    grid = s.Config().add_policy(s.InstrumentPolicy().put().american().fdm(s.FdmConfig(time_steps=steps, nodes=nodes)))
    result = put.valuation().market(market).config(grid).at(now).compute()
    print(f"American put, {nodes:5} nodes x {steps:3} steps: {result.price:.6f}, delta {result.greeks.delta:.6f}")
