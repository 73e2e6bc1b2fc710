// valuation/book.hpp: the rules for valuing many options given in market numbers.
#pragma once

#include <cstdint>
#include <span>

#include "fdm/fdm_problem.hpp"
#include "instrument/stock_option.hpp"
#include "pricing/market_numbers.hpp"
#include "pricing/option_result.hpp"

namespace sorvik {

/// One option of a book, its time to expiry in years.
struct BookEntry {
    OptionType type = OptionType::Call;
    ExerciseStyle style = ExerciseStyle::European;
    double strike = 0.0;
    MarketNumbers market;
};

/// How a book chooses the method per entry. Auto: Americans on the grid,
/// Europeans in closed form (unlike Config(), which values American calls in
/// closed form: with a dividend yield they may be exercised early).
/// Analytic: every entry in closed form (an American gets the European
/// formula). Fdm: every entry on the grid.
enum class BookMethod : uint8_t { Auto, Analytic, Fdm };

/// How a book's grid entries are valued.
struct GridRequest {
    FdmSettings settings;
    /// Vega and rho by central differences of four more grid valuations per
    /// entry on the entry's own mesh (σ ± 1e-4, r ± 1e-4; a one-sided σ
    /// difference where σ < 1e-4); otherwise NaN, as the grid gives neither.
    bool bumped_vega_rho = false;
};

/// What is wrong with an entry's numbers; None when it can be valued.
enum class EntryProblem : uint8_t {
    None,
    Spot,           ///< not finite, or not positive
    Strike,         ///< not finite, or not positive
    Years,          ///< not finite, or negative
    Rate,           ///< not finite
    Vol,            ///< not finite, or negative
    DividendYield,  ///< not finite
    Moneyness,      ///< spot / strike overflows or underflows: ln(S/K) is not finite
    GridSpread,     ///< grid_std_devs·σ√T about ln K reaches spots beyond the doubles
    GridReach,      ///< a grid reaching from ln K out to the spot and its drift reaches spots beyond the doubles
};

/// The first problem of an entry valued by `method` (grid entries as `grid`
/// asks), in the order spot, strike, years, rate, vol, dividend yield, then
/// the relations between them: every method needs a finite ln(S/K); the
/// grid, when σ√T > 0 (in the widest of the bumped valuations), needs its
/// highest node, e^(ln K + half-width), a factor e below the largest
/// double, so that the payoff, the far field and the read-off stay finite.
/// Unknown option types and exercise styles are the caller's to check,
/// before the relations.
EntryProblem check_entry(const BookEntry& entry, BookMethod method, const GridRequest& grid);

/// Why an entry with `problem` cannot be valued, as messages say it after
/// the offending number: "must be a positive finite number". Empty for None.
const char* entry_problem_reason(EntryProblem problem);

bool on_grid(const BookEntry& entry, BookMethod method);

/// An entry in closed form: price_analytic (with q = 0 the bits sorvik's
/// compute() gives for the same option and market), with two exceptions.
/// Where nothing is random (T = 0, or σ = 0) the sure value with its slopes
/// (at a kink the mean of both sides), gamma 0, and vega its slope in σ
/// from the right; compute() gives NaN there. And an out-of-the-money
/// option priced below 1/32 of S·e^(−qT) + K·e^(−rT), where the textbook
/// form loses its relative precision (about 2 standard deviations out and
/// beyond), gets its price and vega to full relative precision from the
/// normalised form of the implied-volatility kernel; at the switch the two
/// forms agree to about 10 ulps.
OptionResult value_in_closed_form(const BookEntry& entry);

/// Values entries on the grid into out (same length), with vega and rho as
/// GridRequest says. Entries must have passed check_entry. They are stepped
/// several at a time; every result has the bits that valuing its entry alone
/// gives, and with q = 0 the bits sorvik's compute() gives for the same
/// option, market and grid settings.
void value_on_grid(std::span<const BookEntry> entries, const GridRequest& grid, std::span<OptionResult> out,
                   CancellationHook cancel = {});

/// Entries of one group (and one grid size) are stepped together on the
/// grid; group 0 needs no grid (its value is sure: σ√T = 0).
unsigned grid_group(const BookEntry& entry);

/// Checks a GridRequest's settings once per book: CoreError for a
/// grid_std_devs that is not positive and finite, fewer than 3 nodes or no
/// time step.
void check_grid_request(const GridRequest& grid);

}  // namespace sorvik
