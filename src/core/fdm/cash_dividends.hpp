// fdm/cash_dividends.hpp: a cash dividend, as the grid steps across it.
#pragma once

namespace sorvik {

/// A cash dividend: the stock drops by `amount` (in the currency of the spot,
/// above 0) at its ex-dividend time, `time` years from valuation. An option
/// takes those with times in (0, T], in time order, one per time.
struct CashDividend {
    double time, amount;
};

}  // namespace sorvik
