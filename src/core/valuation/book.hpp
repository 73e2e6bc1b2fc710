// valuation/book.hpp: the rules for valuing many options given in market numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "american/spectral_scheme.hpp"
#include "fdm/fdm_problem.hpp"
#include "pricing/vol_search.hpp"
#include "instrument/stock_option.hpp"
#include "pricing/market_numbers.hpp"
#include "pricing/option_result.hpp"

namespace sorvik {

/// One option of a book, its time to expiry in years, and its cash
/// dividends (see CashDividend): the first `dividends` pairs of
/// dividend_times and dividend_amounts.
struct BookEntry {
    OptionType type = OptionType::Call;
    ExerciseStyle style = ExerciseStyle::European;
    double strike = 0.0;
    MarketNumbers market;
    const double* dividend_times = nullptr;
    const double* dividend_amounts = nullptr;
    std::size_t dividends = 0;
};

/// How a book chooses the method per entry (engine_for says which engine
/// values an entry). Analytic: every entry in closed form (an American gets
/// the European formula). Fdm: every entry on the grid. Spectral: Americans
/// by the exercise-boundary engine, Europeans in closed form. Auto: as
/// Spectral, with the grid for the Americans it does not value.
enum class BookMethod : uint8_t { Auto, Analytic, Fdm, Spectral };

/// The engines a book routes its entries to.
enum class Engine : uint8_t { ClosedForm, Grid, Boundary };

/// Which engine values an entry by `method`. An entry with cash dividends:
/// the grid, whatever the method (the caller refuses them to Analytic and
/// Spectral, whose formulas have no cash dividends). For Spectral and Auto: a
/// European, and an American that is never worth exercising early, in closed
/// form; an American the exercise-boundary engine values (one exercise
/// boundary, enough spread for its drift: spectral_status Valued) by it; on
/// the grid, an American with nothing random (σ√T = 0: the grid's sure
/// value), one whose drift outruns its spread (the engine's fallback rule)
/// and, under Auto only, one with two exercise boundaries (a put with
/// q < r < 0, a call with r < q < 0), which Spectral refuses (check_entry).
Engine engine_for(const BookEntry& entry, BookMethod method);

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
    TwoBoundaries,  ///< method Spectral for an American with two exercise boundaries
};

/// The first problem of an entry valued by `method` (grid entries as `grid`
/// asks), in the order spot, strike, years, rate, vol, dividend yield, then
/// the relations between them: every method needs a finite ln(S/K); the
/// grid, when σ√T > 0 (in the widest of the bumped valuations), needs its
/// highest node, e^(ln K + half-width), a factor e below the largest
/// double, so that the payoff, the far field and the read-off stay finite;
/// method Spectral refuses an American with two exercise boundaries.
/// Unknown option types and exercise styles are the caller's to check,
/// before the relations.
EntryProblem check_entry(const BookEntry& entry, BookMethod method, const GridRequest& grid);

/// Why an entry with `problem` cannot be valued, as messages say it after
/// the offending number: "must be a positive finite number". Empty for None.
const char* entry_problem_reason(EntryProblem problem);

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

/// value_in_closed_form of each entry into out (same length), bit for bit,
/// and faster per option (price_analytic over blocks of options).
void value_in_closed_form(std::span<const BookEntry> entries, std::span<OptionResult> out);

/// Values entries on the grid into out (same length), with vega and rho as
/// GridRequest says. Entries must have passed check_entry. They are stepped
/// several at a time; every result has the bits that valuing its entry alone
/// gives, and with q = 0 the bits sorvik's compute() gives for the same
/// option, market and grid settings.
void value_on_grid(std::span<const BookEntry> entries, const GridRequest& grid, std::span<OptionResult> out,
                   CancellationHook cancel = {});

/// Values entries that engine_for sends to the exercise-boundary engine
/// (value_spectral at `precision`) into out (same length): price and all
/// five greeks, each with the bits it has alone; NaN for an entry it does
/// not value.
void value_by_boundary(std::span<const BookEntry> entries, SpectralPrecision precision, std::span<OptionResult> out);

/// The engine an implied-volatility search by `method` starts on: engine_for
/// at the highest volatility searched (entry.market.vol is not read).
Engine implied_engine_for(const BookEntry& entry, BookMethod method);

/// The implied volatility of `price` for an entry by `method`, on the engine
/// implied_engine_for gives: the closed form's, the exercise-boundary
/// engine's (a quote whose σ lies below that engine's range goes to the grid,
/// whose price is continuous down to σ = 0) or the grid's; with the grid
/// valuations it took.
VolSearchResult implied_vol_for(double price, const BookEntry& entry, BookMethod method, const FdmSettings& grid,
                                SpectralPrecision precision, CancellationHook cancel = {});

/// The entry as a problem for the grid.
FdmProblem grid_problem(const BookEntry& entry, const FdmSettings& settings);

/// Entries of one group (and one grid size) are stepped together on the
/// grid; group 0 needs no grid (its value is sure: σ√T = 0).
unsigned grid_group(const BookEntry& entry);

}  // namespace sorvik
