// fdm/payoff.hpp: the vanilla payoff and its rules: far field, slope bounds and the sure value.
#pragma once

#include <cmath>

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
    double far_field(bool low_end, double spot, double tau, const MarketNumbers& m) const {
        if (low_end != (type == OptionType::Put)) return 0.0;
        const double carried = m.dividend_yield == 0.0 ? spot : spot * std::exp((-m.dividend_yield) * tau);
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

    /// Whether exercising before expiry can ever pay: a call only when q > 0
    /// or r < 0, a put only when r > 0 or q < 0. Otherwise an American is
    /// worth exactly its European twin.
    bool early_exercise_can_pay(const MarketNumbers& m) const {
        if (type == OptionType::Call) return m.dividend_yield > 0.0 || m.rate < 0.0;
        return m.rate > 0.0 || m.dividend_yield < 0.0;
    }

    /// The bound of |delta|: the option is worth at most one share, and a
    /// European one held to expiry at most e^(−qT) of a share.
    double delta_bound(bool american, const MarketNumbers& m) const {
        return american || m.dividend_yield == 0.0 ? 1.0 : std::exp((-m.dividend_yield) * m.years);
    }

    /// The value when nothing is random: the spot grows at r − q for sure, so
    /// a European is worth max(0, ±(S·e^(−qT) − K·e^(−rT))) and an American
    /// the best of exercising at any time in [0, T]: now, at expiry, or where
    /// q·S·e^(−qt) = r·K·e^(−rt) if that lies inside (0, T). Ties go to
    /// exercising early (the value then does not move with T).
    SureValue sure_value(bool american, const MarketNumbers& m) const;
};

inline SureValue VanillaPayoff::sure_value(bool american, const MarketNumbers& m) const {
    const double S = m.spot, K = strike, T = m.years, r = m.rate, q = m.dividend_yield, s = sign();
    // Exercising t years from now, discounted: ±(S·e^(−qt) − K·e^(−rt)).
    struct Exercise {
        double t, value;
        bool at_expiry;
    };
    auto at = [&](double t, bool at_expiry) {
        return Exercise{t, s * (S * std::exp(-q * t) - K * std::exp(-r * t)), at_expiry};
    };
    Exercise best = at(T, true);
    if (american) {
        auto consider = [&](double t) {
            const Exercise e = at(t, false);
            if (e.value >= best.value) best = e;
        };
        consider(0.0);
        if (q != r && q * r > 0.0) {
            const double t = std::log((r * K) / (q * S)) / (r - q);
            if (t > 0.0 && t < T) consider(t);
        }
    }
    // Below 0 the option lapses; at exactly 0 (the kink) each slope is halved.
    if (best.value < 0.0) return {0.0, 0.0, 0.0, 0.0};
    const double share = best.value > 0.0 ? 1.0 : 0.5;
    const double t = best.t;
    const double delta = share * s * std::exp(-q * t);
    const double rho = share * s * t * K * std::exp(-r * t);
    // Calendar time moves only the value of exercising at expiry: −∂/∂T.
    const double theta = best.at_expiry ? share * s * (q * S * std::exp(-q * T) - r * K * std::exp(-r * T)) : 0.0;
    return {best.value + 0.0, delta, theta, rho};  // + 0.0: a value of −0 reads as 0
}

}  // namespace sorvik
