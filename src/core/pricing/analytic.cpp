// pricing/analytic.cpp: closed-form Black–Scholes–Merton price and greeks.
#include "pricing/analytic.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "lanes.hpp"

namespace sorvik {

namespace {

using lanes::Pair;
using lanes::PairBits;
using lanes::select;

/// f of each lane: the platform libm, lane by lane, so a lane's bits are the scalar call's.
template <class F>
SORVIK_LANE_INLINE double each(F f, double x) {
    return f(x);
}
template <class F>
SORVIK_LANE_INLINE Pair each(F f, Pair x) {
    return Pair{f(x[0]), f(x[1])};
}

double log_of(double x) { return std::log(x); }
double exp_of(double x) { return std::exp(x); }
double erf_of(double x) { return std::erf(x); }
/// e^(−qT), or exactly 1 without dividends (the exponential is not taken).
double dividend_discount(double q, double T) { return q != 0.0 ? std::exp((-q) * T) : 1.0; }

/// One option (V = double) or two (V = Pair, each in its lane) on the way
/// through the formula, which is cut where it calls the C library: a book
/// runs each stage over a block of options, so that every call finds its
/// argument ready and the arithmetic of many options overlaps, instead of
/// one option's chain of divisions and calls waiting on itself.
///
/// Every expression keeps its written order of operations (and the build
/// forbids contraction into fused multiply-adds): the results are reproduced
/// bit for bit, so do not "simplify" them algebraically. There is no branch
/// on the option type (books mix calls and puts at random, and a mispredicted
/// branch costs as much as the arithmetic): both types' expressions are
/// formed and one is selected.
///
/// N(x) = (erf(x/√2) + 1)/2 with the platform erf; N(−x) is (1 − erf(x/√2))/2,
/// the same bits as N evaluated at −x since (−x)/√2 = −(x/√2) exactly and erf
/// is odd, bit for bit, in the C library (its code works on |x| and restores
/// the sign). Never 1 − N(x), which loses the tail to rounding.
template <class V, class Mask>
struct Stages {
    Stages() = default;
    SORVIK_LANE_INLINE Stages(Mask c, V strike, V spot, V years, V rate, V yield, V vol)
        : call(c), K(strike), S(spot), T(years), r(rate), q(yield), sigma(vol) {}

    Mask call;
    V K, S, T, r, q, sigma;
    V ln_sk, sqrt_t, sigma_sqrt_t, d1, d2;  // after the logarithm
    V pdf_exp, discount, dq, erf1, erf2;    // after the exponentials and erf

    SORVIK_LANE_INLINE void take_log() { ln_sk = each(log_of, S / K); }

    SORVIK_LANE_INLINE void after_log() {
        sqrt_t = lanes::sqrt(T);
        const V half_var = sigma * sigma * 0.5;
        sigma_sqrt_t = sigma * sqrt_t;
        // (halfVar + r) − q: exactly halfVar + r when q = 0.
        d1 = (ln_sk + ((half_var + r) - q) * T) / sigma_sqrt_t;
        d2 = d1 - sigma_sqrt_t;
    }

    SORVIK_LANE_INLINE void take_exp_and_erf() {
        pdf_exp = each(exp_of, (-d1) * d1 * 0.5);
        discount = each(exp_of, (-r) * T);
        dq = dividends_taken();
        erf1 = each(erf_of, d1 / 1.4142135623730951);
        erf2 = each(erf_of, d2 / 1.4142135623730951);
    }

    SORVIK_LANE_INLINE V dividends_taken() const {
        if constexpr (std::is_same_v<V, double>) {
            return dividend_discount(q, T);
        } else {
            return V{dividend_discount(q[0], T[0]), dividend_discount(q[1], T[1])};
        }
    }

    template <class Out>
    SORVIK_LANE_INLINE void finish(Out&& out) const {
        const V pdf = pdf_exp / 2.5066282746310002;  // √(2π)
        const V two_sqrt_t = sqrt_t + sqrt_t;
        // The dividend-discounted spot; without dividends the spot itself, and
        // the dividend terms of theta and the factor of delta and gamma are left out.
        const auto dividends = q != 0.0;
        const V sq = select(dividends, S * dq, S);
        const V nd1 = (erf1 + 1.0) * 0.5;
        // The tails the option is paid on: N(d1), N(d2) for a call, N(−d1), N(−d2) for a put.
        const V tail1 = select(call, nd1, ((-erf1) + 1.0) * 0.5);
        const V tail2 = select(call, (erf2 + 1.0) * 0.5, ((-erf2) + 1.0) * 0.5);

        const V gamma = pdf / (sigma * S * sqrt_t);
        // Call: N(d1)·S' − K·D·N(d2); put: K·D·N(−d2) − S'·N(−d1).
        const V spot_leg = tail1 * sq, strike_leg = K * discount * tail2;
        const V delta = select(call, nd1, nd1 + (-1.0));
        // Call: −σ·S'·φ/(2√T) − r·K·D·N(d2) (+ q·S'·N(d1)); put: r·K·D·N(−d2) − S'·φ·σ/(2√T) (− q·S'·N(−d1)).
        const V decay = (sq * pdf * sigma) / two_sqrt_t, carry = r * K * discount * tail2;
        const V theta = select(call, (-decay) - carry, carry - decay);
        const V dividend_leg = q * sq * tail1;
        const V rho = discount * (T * K) * tail2;
        out(select(call, spot_leg - strike_leg, strike_leg - spot_leg), select(dividends, dq * delta, delta),
            select(dividends, dq * gamma, gamma),
            select(dividends, select(call, theta + dividend_leg, theta - dividend_leg), theta), sq * sqrt_t * pdf,
            select(call, rho, -rho), sq, K * discount);
    }
};

/// Options valued together: enough pairs to keep the libm calls and the
/// divisions of many options in flight, few enough for the first-level cache.
constexpr std::size_t kBlockPairs = 16;

}  // namespace

OptionResult price_analytic(OptionType type, double K, const MarketNumbers& m) {
    DiscountedTerms terms;
    return price_analytic(type, K, m, terms);
}

OptionResult price_analytic(OptionType type, double K, const MarketNumbers& m, DiscountedTerms& terms) {
    Stages<double, bool> s(type == OptionType::Call, K, m.spot, m.years, m.rate, m.dividend_yield, m.vol);
    s.take_log();
    s.after_log();
    s.take_exp_and_erf();
    OptionResult result;
    s.finish([&](double price, double delta, double gamma, double theta, double vega, double rho, double carried,
                 double strike_pv) {
        result = {price, Greeks{delta, gamma, theta, vega, rho}};
        terms = {carried, strike_pv};
    });
    return result;
}

void price_analytic(std::span<const AnalyticOption> options, std::span<OptionResult> results,
                    std::span<DiscountedTerms> terms) {
    const std::size_t n = options.size();
    std::size_t done = 0;
    // Whole pairs in blocks; an odd last option alone.
    while (n - done >= 2) {
        const std::size_t pairs = std::min(kBlockPairs, (n - done) / 2);
        Stages<Pair, PairBits> s[kBlockPairs];
        for (std::size_t j = 0; j < pairs; ++j) {
            const AnalyticOption &a = options[done + 2 * j], &b = options[done + 2 * j + 1];
            s[j] = Stages<Pair, PairBits>{PairBits{a.type == OptionType::Call ? -1 : 0, b.type == OptionType::Call ? -1 : 0},
                    Pair{a.strike, b.strike},
                    Pair{a.market->spot, b.market->spot},
                    Pair{a.market->years, b.market->years},
                    Pair{a.market->rate, b.market->rate},
                    Pair{a.market->dividend_yield, b.market->dividend_yield},
                    Pair{a.market->vol, b.market->vol}};
        }
        for (std::size_t j = 0; j < pairs; ++j) s[j].take_log();
        for (std::size_t j = 0; j < pairs; ++j) s[j].after_log();
        for (std::size_t j = 0; j < pairs; ++j) s[j].take_exp_and_erf();
        for (std::size_t j = 0; j < pairs; ++j) {
            s[j].finish([&](Pair price, Pair delta, Pair gamma, Pair theta, Pair vega, Pair rho, Pair carried,
                            Pair strike_pv) {
                for (std::size_t lane = 0; lane < 2; ++lane) {
                    const std::size_t i = done + 2 * j + lane;
                    results[i] = {price[lane], Greeks{delta[lane], gamma[lane], theta[lane], vega[lane], rho[lane]}};
                    terms[i] = {carried[lane], strike_pv[lane]};
                }
            });
        }
        done += 2 * pairs;
    }
    if (done < n) results[done] = price_analytic(options[done].type, options[done].strike, *options[done].market, terms[done]);
}

}  // namespace sorvik
