"""A first valuation: a European call in closed form and an American put on
the finite-difference grid, with their greeks."""
import datetime as dt

import sorvik

UTC = dt.timezone.utc
ACT365 = sorvik.DayCountConvention.Act365Fixed

valuation_time = dt.datetime(2025, 6, 19, 20, 0, tzinfo=UTC)
expiry = dt.datetime(2026, 6, 19, 20, 0, tzinfo=UTC)

market = sorvik.OptionMarketFrame(
    spot=100.0,
    rate_curve=sorvik.RateCurve.continuous(0.05, ACT365),
    vol_surface=sorvik.VolSurface.flat(0.2, ACT365),
)
# European options in closed form, American options on a 1001-node grid.
config = (
    sorvik.Config()
    .add_policy(sorvik.InstrumentPolicy().european().analytic())
    .add_policy(sorvik.InstrumentPolicy().american().fdm(sorvik.FdmConfig(time_steps=50, nodes=1001)))
)

for option_type, style in [
    (sorvik.OptionType.Call, sorvik.ExerciseStyle.European),
    (sorvik.OptionType.Put, sorvik.ExerciseStyle.American),
]:
    option = sorvik.StockOption(100.0, expiry, option_type, style)
    result = option.valuation().market(market).config(config).at(valuation_time).compute()
    g = result.greeks
    print(f"{option_type!r:16} {style!r:24} {result}")
    print(f"    years to expiry {option.years_to_expiry(valuation_time):.6f}")
    print(f"    delta {g.delta:.6f}  gamma {g.gamma:.6f}  theta {g.theta:.6f}  vega {g.vega}  rho {g.rho}")
