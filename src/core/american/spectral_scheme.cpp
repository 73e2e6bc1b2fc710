// american/spectral_scheme.cpp: the fixed nodes, quadrature and interpolation tables of each precision level.
#include "american/spectral_scheme.hpp"

#include <cmath>
#include <limits>
#include <numbers>

#include "fault.hpp"

namespace sorvik {

namespace {

constexpr double pi = std::numbers::pi;

/// Chebyshev extreme points of [0, 1] in ascending order: sin²(jπ/2n)
/// (the half-angle form keeps the nodes near 0 accurate).
std::vector<double> chebyshev_nodes(std::size_t n) {
    std::vector<double> z(n + 1);
    for (std::size_t j = 0; j <= n; ++j) {
        const double s = std::sin(static_cast<double>(j) * pi / (2.0 * static_cast<double>(n)));
        z[j] = s * s;
    }
    z[n] = 1.0;
    return z;
}

/// The weights of the interpolant through the nodes at x, for the node values
/// 1 … n (node 0 carries H = 0 and is left out), written `stride` apart;
/// barycentric formula of the second kind, with the weights (−1)^j, halved
/// at both ends.
void interpolation_weights(const std::vector<double>& z, double x, double* out, std::size_t stride) {
    const std::size_t n = z.size() - 1;
    for (std::size_t j = 0; j <= n; ++j) {
        if (x == z[j]) {
            for (std::size_t m = 1; m <= n; ++m) out[(m - 1) * stride] = m == j ? 1.0 : 0.0;
            return;
        }
    }
    double total = 0.0;
    std::vector<double> terms(n + 1);
    for (std::size_t j = 0; j <= n; ++j) {
        double beta = j % 2 == 0 ? 1.0 : -1.0;
        if (j == 0 || j == n) beta *= 0.5;
        terms[j] = beta / (x - z[j]);
        total += terms[j];
    }
    for (std::size_t j = 1; j <= n; ++j) out[(j - 1) * stride] = terms[j] / total;
}

/// θ's sine and cosine for Gauss–Legendre points on (0, π/2).
void quadrature(std::size_t count, std::vector<double>& sines, std::vector<double>& cosines,
                std::vector<double>& weights) {
    std::vector<double> x, w;
    gauss_legendre(count, x, w);
    sines.resize(count);
    cosines.resize(count);
    weights.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        sines[k] = std::sin((1.0 + x[k]) * (pi / 4.0));
        cosines[k] = std::sin((1.0 - x[k]) * (pi / 4.0));
        weights[k] = w[k] * (pi / 4.0);
    }
}

CollocationStage make_stage(std::size_t n, std::size_t l) {
    if (n < 2 || l < 2 || l % 2 != 0) throw Fault("spectral stage needs at least 2 nodes and an even number of points");
    CollocationStage s;
    s.nodes = n;
    s.points = l;
    s.z = chebyshev_nodes(n);
    quadrature(l, s.sin_theta, s.cos_theta, s.weight);
    s.interpolation.resize(n * l * n);
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t k = 0; k < l; ++k) {
            interpolation_weights(s.z, s.z[i] * s.sin_theta[k], &s.interpolation[(i - 1) * n * l + k], l);
        }
    }
    return s;
}

}  // namespace

void gauss_legendre(std::size_t count, std::vector<double>& points, std::vector<double>& weights) {
    points.assign(count, 0.0);
    weights.assign(count, 0.0);
    const double nd = static_cast<double>(count);
    for (std::size_t i = 0; i < (count + 1) / 2; ++i) {
        // Tricomi's estimate of the (i + 1)-th largest root, then Newton.
        double x = std::cos(pi * (static_cast<double>(i) + 0.75) / (nd + 0.5));
        double derivative = 1.0;
        for (int step = 0; step < 100; ++step) {
            double p0 = 1.0, p1 = x;
            for (std::size_t k = 2; k <= count; ++k) {
                const double kd = static_cast<double>(k);
                const double p2 = ((2.0 * kd - 1.0) * x * p1 - (kd - 1.0) * p0) / kd;
                p0 = p1;
                p1 = p2;
            }
            derivative = nd * (x * p1 - p0) / (x * x - 1.0);
            const double dx = p1 / derivative;
            x -= dx;
            if (std::fabs(dx) <= 1e-16) break;
        }
        const double w = 2.0 / ((1.0 - x * x) * derivative * derivative);
        points[count - 1 - i] = x;
        points[i] = -x;
        weights[i] = weights[count - 1 - i] = w;
    }
    if (count % 2 == 1) points[count / 2] = 0.0;
}

SpectralCounts spectral_counts(SpectralPrecision precision) {
    switch (precision) {
        case SpectralPrecision::Standard: return {{{3, 6, 4}, {8, 6, 2}, {14, 12, 2}}, 32};
        case SpectralPrecision::High: return {{{4, 8, 4}, {8, 8, 1}, {16, 12, 1}, {32, 24, 2}}, 64};
    }
    throw Fault("unknown spectral precision");
}

SpectralScheme::SpectralScheme(const SpectralCounts& c) : counts(c) {
    if (c.stages.empty()) throw Fault("spectral scheme needs a stage");
    for (const StageCounts& sc : c.stages) stages.push_back(make_stage(sc.nodes, sc.points));
    for (std::size_t s = 0; s + 1 < stages.size(); ++s) {
        const CollocationStage &from = stages[s], &to = stages[s + 1];
        std::vector<double> u(to.nodes * from.nodes);
        for (std::size_t i = 1; i <= to.nodes; ++i) interpolation_weights(from.z, to.z[i], &u[(i - 1) * from.nodes], 1);
        upsampling.push_back(std::move(u));
        std::vector<double> w(to.nodes, std::numeric_limits<double>::quiet_NaN());
        for (std::size_t i = 1; i <= to.nodes; ++i) {
            if (to.z[i] < from.z[1])
                w[i - 1] = std::log(to.z[i] / from.z[1]) / std::log(from.z[2] / from.z[1]);
        }
        near_expiry.push_back(std::move(w));
    }
    const std::size_t n = fine().nodes;
    const std::size_t lp = c.price_points;
    if (lp < 2 || lp % 2 != 0) throw Fault("spectral price integral needs an even number of points");
    gauss_legendre(lp, price_nodes, price_weight);
    for (std::size_t k = 0; k < lp; ++k) {
        price_nodes[k] = 0.5 * (price_nodes[k] + 1.0);
        price_weight[k] *= 0.5;
    }
    // Discrete Chebyshev transform at the extreme points ξ_j = −cos(jπ/n):
    // c_m = (2/n)·Σ'' H_j·cos(m(n − j)π/n), the end terms of the sum and c_0,
    // c_n halved.
    chebyshev_coefficients.assign((n + 1) * n, 0.0);
    for (std::size_t m = 0; m <= n; ++m) {
        for (std::size_t j = 1; j <= n; ++j) {
            double c = 2.0 / static_cast<double>(n) *
                       std::cos(static_cast<double>(m * (n - j) % (2 * n)) * pi / static_cast<double>(n));
            if (j == n) c *= 0.5;
            if (m == 0 || m == n) c *= 0.5;
            chebyshev_coefficients[m * n + (j - 1)] = c;
        }
    }
}

const SpectralScheme& SpectralScheme::of(SpectralPrecision precision) {
    if (precision == SpectralPrecision::High) {
        static const SpectralScheme high(spectral_counts(SpectralPrecision::High));
        return high;
    }
    static const SpectralScheme standard(spectral_counts(SpectralPrecision::Standard));
    return standard;
}

}  // namespace sorvik
