// bench/cpp/spectral_accuracy.cpp: accuracy and cost of the exercise-boundary engine on a random set of American options.
//
// Usage: spectral_accuracy [count] [seed] [csv]
//
// With a csv path, also writes the set and its reference prices there (type,
// spot, strike, years, rate, dividend_yield, vol, reference), for
// bench/python/spectral_quantlib.py to value with QuantLib.
//
// The set: calls and puts (half each), K = 100, S/K log-uniform in [0.5, 2],
// T log-uniform in [1 week, 10 years] and rounded to whole days, σ uniform in [5%, 100%], r and q
// uniform in [0, 10%]. The reference is the engine itself with far finer
// counts (64 nodes, 64 points per node, 256 price points); its own error is
// shown by a second reference with 96 nodes on a subset, and it agrees with
// QuantLib's QdFpAmericanEngine at its high-precision preset to that preset's
// accuracy (bench/python/spectral_fixture.py). Greeks are compared with
// central differences of the reference price, leaving out spots within
// the widest bump (gamma's, 0.2%·S·min(1, σ√T)) of the exercise boundary, and counted where they are not
// small: gamma·S ≥ 1e-3, |theta|, vega, |rho| ≥ 1e-3·max(S, K).
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "american/boundary_put.hpp"
#include "american/spectral_engine.hpp"
#include "fdm/fdm_solver.hpp"

namespace {

using namespace sorvik;

/// Uniform on [0, 1) from a 64-bit linear congruential generator: the same
/// set on every platform and standard library.
struct Uniform {
    uint64_t state;
    double operator()() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    }
};

std::vector<BookEntry> random_set(std::size_t count, uint64_t seed) {
    Uniform u{seed};
    std::vector<BookEntry> set;
    for (std::size_t i = 0; i < count; ++i) {
        BookEntry e;
        e.style = ExerciseStyle::American;
        e.type = i % 2 == 0 ? OptionType::Call : OptionType::Put;
        e.strike = 100.0;
        e.market.spot = 100.0 * std::exp(std::log(0.5) + u() * std::log(4.0));
        // Whole days (Actual/365 Fixed), so that a date-based peer values the same options.
        e.market.years = std::round(std::exp(std::log(7.0) + u() * std::log(3650.0 / 7.0))) / 365.0;
        e.market.vol = 0.05 + 0.95 * u();
        e.market.rate = 0.1 * u();
        e.market.dividend_yield = 0.1 * u();
        set.push_back(e);
    }
    return set;
}

SpectralCounts reference_counts(std::size_t nodes) {
    SpectralCounts c{{{4, 8, 4}, {8, 8, 2}, {16, 16, 2}, {32, 32, 2}}, 4 * nodes};
    c.stages.push_back({nodes, nodes, 3});
    return c;
}

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

std::vector<OptionResult> value(const std::vector<BookEntry>& set, const SpectralScheme& scheme) {
    std::vector<OptionResult> out(set.size());
    std::vector<SpectralStatus> status(set.size());
    value_spectral(set, scheme, out, status);
    return out;
}

double price(const BookEntry& e, const SpectralScheme& scheme) {
    OptionResult r;
    SpectralStatus s;
    value_spectral(std::span<const BookEntry>(&e, 1), scheme, std::span<OptionResult>(&r, 1),
                   std::span<SpectralStatus>(&s, 1));
    return r.price;
}

/// Central differences of the reference price: delta, gamma, theta, vega, rho.
struct Differences {
    double delta, gamma, theta, vega, rho, bump;
};

Differences differences(const BookEntry& e, const SpectralScheme& ref) {
    const MarketNumbers& m = e.market;
    Differences d{};
    // Bumps small against the option's own scale S·σ√T, large against the
    // reference's rounding (ten times larger for gamma, whose difference
    // divides by the bump's square).
    d.bump = 2e-4 * m.spot * std::min(1.0, m.vol * std::sqrt(m.years));
    auto with = [&](auto change) {
        BookEntry b = e;
        change(b.market);
        return price(b, ref);
    };
    const double p0 = price(e, ref);
    const double up = with([&](MarketNumbers& x) { x.spot += d.bump; });
    const double down = with([&](MarketNumbers& x) { x.spot -= d.bump; });
    d.delta = (up - down) / (2.0 * d.bump);
    const double wide = 10.0 * d.bump;
    d.gamma = (with([&](MarketNumbers& x) { x.spot += wide; }) - 2.0 * p0 +
               with([&](MarketNumbers& x) { x.spot -= wide; })) /
              (wide * wide);
    const double dt = std::min(1e-4, 0.01 * m.years);
    d.theta = -(with([&](MarketNumbers& x) { x.years += dt; }) - with([&](MarketNumbers& x) { x.years -= dt; })) /
              (2.0 * dt);
    d.vega = (with([&](MarketNumbers& x) { x.vol += 1e-4; }) - with([&](MarketNumbers& x) { x.vol -= 1e-4; })) / 2e-4;
    d.rho = (with([&](MarketNumbers& x) { x.rate += 1e-5; }) - with([&](MarketNumbers& x) { x.rate -= 1e-5; })) / 2e-5;
    return d;
}

/// The exercise boundary at the valuation date, as a spot of the option itself.
double boundary_spot(const BookEntry& e, const SpectralScheme& ref) {
    std::vector<double> b(ref.fine().nodes + 1);
    exercise_boundary(spectral_put(e), ref, b);
    // A call's boundary S* solves S*/K = K/B' (B' its symmetric put's, at strike S).
    return e.type == OptionType::Put ? b.back() : e.strike * e.market.spot / b.back();
}

struct Summary {
    std::vector<double> errors;
    double worst = -1.0;
    std::size_t worst_at = 0;
    void add(double e, std::size_t at = 0) {
        errors.push_back(e);
        if (e > worst) worst = e, worst_at = at;
    }
    double quantile(double q) {
        if (errors.empty()) return 0.0;
        std::sort(errors.begin(), errors.end());
        return errors[static_cast<std::size_t>(q * static_cast<double>(errors.size() - 1))];
    }
};

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20250101;
    const std::vector<BookEntry> set = random_set(count, seed);
    const SpectralScheme reference(reference_counts(64));
    const SpectralScheme check(reference_counts(96));

    std::printf("%zu options (seed %llu); reference: 64 nodes\n", set.size(), static_cast<unsigned long long>(seed));
    const std::vector<OptionResult> ref = value(set, reference);
    if (argc > 3) {
        std::FILE* csv = std::fopen(argv[3], "w");
        if (!csv) {
            std::perror(argv[3]);
            return 1;
        }
        std::fprintf(csv, "type,spot,strike,years,rate,dividend_yield,vol,reference\n");
        for (std::size_t i = 0; i < set.size(); ++i) {
            const MarketNumbers& m = set[i].market;
            std::fprintf(csv, "%s,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g\n",
                         set[i].type == OptionType::Call ? "call" : "put", m.spot, set[i].strike, m.years, m.rate,
                         m.dividend_yield, m.vol, ref[i].price);
        }
        std::fclose(csv);
    }
    {
        Summary self;
        for (std::size_t i = 0; i < set.size(); i += 10) {
            const double scale = std::max(set[i].market.spot, set[i].strike);
            self.add(std::fabs(price(set[i], check) - ref[i].price) / scale);
        }
        std::printf("reference against 96 nodes (every 10th option): max %.1e\n", self.quantile(1.0));
    }

    std::vector<Differences> diff(set.size());
    std::vector<bool> near_boundary(set.size());
    for (std::size_t i = 0; i < set.size(); ++i) {
        diff[i] = differences(set[i], reference);
        near_boundary[i] = std::fabs(set[i].market.spot - boundary_spot(set[i], reference)) <= 20.0 * diff[i].bump;
    }

    std::printf("\n%-9s %10s %9s %9s %9s | %9s %9s %9s %9s %9s (max; greeks relative, delta absolute)\n", "level",
                "us/option", "max", "p99", "median", "delta", "gamma", "theta", "vega", "rho");
    for (const auto& [name, precision] :
         {std::pair{"standard", SpectralPrecision::Standard}, std::pair{"high", SpectralPrecision::High}}) {
        const SpectralScheme& scheme = SpectralScheme::of(precision);
        std::vector<OptionResult> got;
        double best = 1e300;
        for (int run = 0; run < 5; ++run) {
            const double t0 = cpu_seconds();
            got = value(set, scheme);
            best = std::min(best, cpu_seconds() - t0);
        }
        Summary price_error, greek[5];
        for (std::size_t i = 0; i < set.size(); ++i) {
            const BookEntry& e = set[i];
            const double scale = std::max(e.market.spot, e.strike);
            price_error.add(std::fabs(got[i].price - ref[i].price) / scale, i);
            if (near_boundary[i]) continue;
            const Greeks& g = got[i].greeks;
            const Differences& d = diff[i];
            greek[0].add(std::fabs(g.delta - d.delta), i);
            auto relative = [&](Summary& s, double value, double exact, bool counted) {
                if (counted) s.add(std::fabs(value - exact) / std::fabs(exact), i);
            };
            relative(greek[1], g.gamma, d.gamma, d.gamma * e.market.spot >= 1e-3);
            relative(greek[2], g.theta, d.theta, std::fabs(d.theta) >= 1e-3 * scale);
            relative(greek[3], *g.vega, d.vega, d.vega >= 1e-3 * scale);
            relative(greek[4], *g.rho, d.rho, std::fabs(d.rho) >= 1e-3 * scale);
        }
        std::printf("%-9s %10.2f %9.1e %9.1e %9.1e | %9.1e %9.1e %9.1e %9.1e %9.1e\n", name,
                    1e6 * best / static_cast<double>(set.size()), price_error.quantile(1.0), price_error.quantile(0.99),
                    price_error.quantile(0.5), greek[0].quantile(1.0), greek[1].quantile(1.0),
                    greek[2].quantile(1.0), greek[3].quantile(1.0), greek[4].quantile(1.0));
        std::printf("%-9s %10s %9s %9s %9s | %9.1e %9.1e %9.1e %9.1e %9.1e (p99)\n", "", "", "", "", "",
                    greek[0].quantile(0.99), greek[1].quantile(0.99), greek[2].quantile(0.99),
                    greek[3].quantile(0.99), greek[4].quantile(0.99));
        if (std::getenv("SHOW_WORST")) {
            const char* names[] = {"delta", "gamma", "theta", "vega", "rho"};
            for (int k = -1; k < 5; ++k) {
                const Summary& s = k < 0 ? price_error : greek[k];
                const BookEntry& e = set[s.worst_at];
                std::printf("   worst %-6s %.1e: %s S=%.6g K=%.6g T=%.6g r=%.6g q=%.6g vol=%.6g\n", k < 0 ? "price" : names[k],
                            s.worst, e.type == OptionType::Call ? "call" : "put", e.market.spot, e.strike,
                            e.market.years, e.market.rate, e.market.dividend_yield, e.market.vol);
            }
        }
    }

    // The grid on the same options: its default (1001 nodes × 50 steps) on
    // all, and a fine one (8001 × 2000) on every 20th, against the same
    // reference. Options the engine leaves to others are left out of both.
    for (const auto& [nodes, steps, stride] : {std::tuple{1001ULL, 50ULL, 1}, std::tuple{8001ULL, 2000ULL, 20}}) {
        Summary error;
        double seconds = 0.0;
        std::size_t valued = 0;
        for (std::size_t i = 0; i < set.size(); i += static_cast<std::size_t>(stride)) {
            const BookEntry& e = set[i];
            if (spectral_status(e) != SpectralStatus::Valued) continue;
            const FdmProblem p{VanillaPayoff{e.type, e.strike}, ExerciseStyle::American, e.market,
                               FdmSettings{nodes, steps, 6.0}, std::nullopt};
            const double t0 = cpu_seconds();
            const double grid = solve_fdm(p).price;
            seconds += cpu_seconds() - t0;
            ++valued;
            error.add(std::fabs(grid - ref[i].price) / std::max(e.market.spot, e.strike), i);
        }
        std::printf("grid %llu x %llu (%zu options): %.0f us/option, max %.1e, p99 %.1e, median %.1e\n", nodes, steps,
                    valued, 1e6 * seconds / static_cast<double>(valued), error.quantile(1.0), error.quantile(0.99),
                    error.quantile(0.5));
    }
    return 0;
}
