// fdm/payoff.hpp: the vanilla payoff and its rules: far field, slope bounds and the sure value.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "fdm/cash_dividends.hpp"

#include "instrument/stock_option.hpp"
#include "pricing/market_numbers.hpp"

namespace sorvik {

/// A value without randomness (σ√T = 0) and its sensitivities: delta per
/// unit of spot, theta per year of calendar time, rho per unit of rate. Where
/// the value has a kink each is the mean of its two one-sided slopes.
struct SureValue {
    double value, delta, theta, rho;
};

/// max(0, S − K) for a call, max(0, K − S) for a put.
struct VanillaPayoff {
    OptionType type = OptionType::Call;
    double strike = 0.0;

    double operator()(double spot) const {
        if (type == OptionType::Call) return strike < spot ? spot - strike : 0.0;
        return spot < strike ? strike - spot : 0.0;
    }

    /// +1 for a call, −1 for a put: the payoff's slope where it is exercised.
    double sign() const { return type == OptionType::Call ? 1.0 : -1.0; }

    /// Whether it pays below the strike (a put) rather than above it: the
    /// side of the grid where exercise and the far-field value lie.
    bool exercised_at_low_spots() const { return type == OptionType::Put; }

    /// The payoff's slope in the spot; at the strike, the mean of both sides.
    double slope(double spot) const {
        if (spot == strike) return 0.5 * sign();
        return (*this)(spot) > 0.0 ? sign() : 0.0;
    }

    /// The European value τ years before expiry at a spot so far from the
    /// strike that the option is sure to end on one side of it: the
    /// discounted forward payoff ±(S·e^(−qτ) − K·e^(−rτ)) on the side where
    /// it is exercised, 0 on the other, and never below 0 (on a narrow grid
    /// with a large r·τ the formula alone can go negative). `low_end` names
    /// the grid end: a put is exercised at the low end, a call at the high end.
    /// `dividends_ahead`: the present value of the cash dividends still to be
    /// paid before expiry, which the forward of the stock lacks; a stock
    /// they would take below 0 ends at 0 (its forward is never negative).
    double far_field(bool low_end, double spot, double tau, const MarketNumbers& m, double dividends_ahead = 0.0) const {
        if (low_end != (type == OptionType::Put)) return 0.0;
        double carried = m.dividend_yield == 0.0 ? spot : spot * std::exp((-m.dividend_yield) * tau);
        if (dividends_ahead != 0.0) carried = std::max(carried - dividends_ahead, 0.0);
        const double strike_pv = strike * std::exp((-m.rate) * tau);
        const double value = type == OptionType::Put ? strike_pv - carried : carried - strike_pv;
        return value > 0.0 ? value : 0.0;
    }

    /// c in the value's growth c·e^y far above the strike, on a grid whose
    /// coordinate is y = ln S + κ·τ τ years before expiry: a call's far field
    /// S·e^(−qτ) − K·e^(−rτ) grows as e^(−(κ + q)τ)·e^y; a put has none.
    double forward_share(double tau, double kappa, const MarketNumbers& m) const {
        return type == OptionType::Call ? std::exp((-(kappa + m.dividend_yield)) * tau) : 0.0;
    }

    /// Whether exercising before expiry can ever pay: a call only when q > 0,
    /// r < 0 or it has cash dividends, a put only when r > 0 or q < 0.
    /// Otherwise an American is worth exactly its European twin.
    bool early_exercise_can_pay(const MarketNumbers& m, bool cash_dividends = false) const {
        if (type == OptionType::Call) return m.dividend_yield > 0.0 || m.rate < 0.0 || cash_dividends;
        return m.rate > 0.0 || m.dividend_yield < 0.0;
    }

    /// The bound of |delta|: the option is worth at most one share, and a
    /// European one held to expiry at most e^(−qT) of a share.
    double delta_bound(bool american, const MarketNumbers& m) const {
        return american || m.dividend_yield == 0.0 ? 1.0 : std::exp((-m.dividend_yield) * m.years);
    }

    /// The value when nothing is random: the spot grows at r − q for sure and
    /// drops by each cash dividend (`dividends`: see CashDividend) at its
    /// time, so a European is worth max(0, ±(S·e^(−qT) − PV(D) − K·e^(−rT)))
    /// and an American the best of exercising at any time in
    /// [0, T]: now, at expiry, just before an ex-dividend time, or where
    /// q·S'·e^(−qt) = r·K·e^(−rt) if that lies between two of those (S' the
    /// spot less the dividends paid by then, carried back at r − q). Ties go
    /// to exercising early (the value then does not move with T).
    SureValue sure_value(bool american, const MarketNumbers& m, std::span<const CashDividend> dividends = {}) const;
};

inline SureValue VanillaPayoff::sure_value(bool american, const MarketNumbers& m,
                                          std::span<const CashDividend> dividends) const {
    const double S = m.spot, K = strike, T = m.years, r = m.rate, q = m.dividend_yield, s = sign();
    // Exercising t years from now, discounted: ±(S'·e^(−qt) − K·e^(−rt)), S'
    // the spot less the dividends paid before t carried back at r − q (S
    // itself when there are none).
    struct Exercise {
        double t, value;
        bool fixed_date;   // a date of the calendar: expiry or an ex-dividend time
        double paid;       // S − S'
        double paid_rate;  // ∂S'/∂r
    };
    auto at = [&](double t, bool fixed_date, std::size_t paid_count) {
        double paid = 0.0, paid_rate = 0.0;
        for (std::size_t j = 0; j < paid_count; ++j) {
            const double carried = dividends[j].amount * std::exp(-(r - q) * dividends[j].time);
            paid += carried;
            paid_rate += dividends[j].time * carried;
        }
        // Dividends the stock cannot pay take it to 0, where it stays.
        const double value = paid_count == 0 ? s * (S * std::exp(-q * t) - K * std::exp(-r * t))
                                             : s * (std::max(S - paid, 0.0) * std::exp(-q * t) - K * std::exp(-r * t));
        return Exercise{t, value, fixed_date, paid, paid_rate};
    };
    Exercise best = at(T, true, dividends.size());
    if (american) {
        auto consider = [&](const Exercise& e) {
            if (e.value >= best.value) best = e;
        };
        consider(at(0.0, false, 0));
        // Between ex-dividend times (and after the last one) the stationary point, if any; and
        // just before each of them.
        for (std::size_t i = 0; i <= dividends.size(); ++i) {
            const double begin = i == 0 ? 0.0 : dividends[i - 1].time;
            const double end = i == dividends.size() ? T : dividends[i].time;
            const double spot = i == 0 ? S : S - at(0.0, false, i).paid;
            if (q != r && q * r > 0.0 && spot > 0.0) {
                const double t = std::log((r * K) / (q * spot)) / (r - q);
                if (t > begin && t < end) consider(at(t, false, i));
            }
            if (i < dividends.size()) consider(at(dividends[i].time, true, i));
        }
    }
    // Below 0 the option lapses; at exactly 0 (the kink) each slope is halved.
    if (best.value < 0.0) return {0.0, 0.0, 0.0, 0.0};
    const double share = best.value > 0.0 ? 1.0 : 0.5;
    const double t = best.t;
    const double delta = share * s * std::exp(-q * t);
    const double rho = dividends.empty() ? share * s * t * K * std::exp(-r * t)
                                         : share * s * (best.paid_rate * std::exp(-q * t) + t * K * std::exp(-r * t));
    // Calendar time brings a fixed date nearer (with the dividends before it);
    // an exercise now or at a stationary point moves only with the dividends.
    double theta = 0.0;
    if (dividends.empty()) {
        theta = best.fixed_date ? share * s * (q * S * std::exp(-q * T) - r * K * std::exp(-r * T)) : 0.0;
    } else if (best.fixed_date) {
        theta = share * s * (r * ((S - best.paid) * std::exp(-q * t) - K * std::exp(-r * t)) - (r - q) * S * std::exp(-q * t));
    } else {
        theta = -share * s * (r - q) * best.paid * std::exp(-q * t);
    }
    return {best.value + 0.0, delta, theta, rho};  // + 0.0: a value of −0 reads as 0
}

}  // namespace sorvik
