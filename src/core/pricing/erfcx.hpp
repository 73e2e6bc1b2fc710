// pricing/erfcx.hpp: the scaled complementary error function.
#pragma once

namespace sorvik {

/// erfcx(z) = e^(z²)·erfc(z) for z ≥ 0 (NaN gives NaN), within about one ulp:
/// erfc's tail without its underflow and with relative accuracy. Arguments
/// below 0 are outside the contract.
double erfcx(double z);

}  // namespace sorvik
