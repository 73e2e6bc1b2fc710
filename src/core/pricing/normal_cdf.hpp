// pricing/normal_cdf.hpp: the standard normal distribution function, through erf.
#pragma once

#include <cmath>

namespace sorvik {

/// N(x) = (erf(x / √2) + 1) / 2 with the platform erf. The division by √2
/// (not a multiplication by 1/√2) and the order of the operations are fixed:
/// prices are reproduced bit for bit. N(−x) must be obtained by calling this
/// again with −x, never as 1 − N(x).
inline double normal_cdf(double x) {
    return (std::erf(x / 1.4142135623730951) + 1.0) * 0.5;
}

}  // namespace sorvik
