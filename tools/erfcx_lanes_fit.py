# tools/erfcx_lanes_fit.py: prints the Chebyshev coefficients of src/core/american/lane_math.hpp (needs mpmath).
"""erfcx(z) = exp(z²)·erfc(z) for z ≥ 0 as one polynomial in t = (z − L)/(z + L), which maps
[0, ∞) onto [−1, 1): g(t) = (z + L)·erfcx(z) is smooth on the closed interval (it tends to 1/√π
as z → ∞), so its Chebyshev interpolant converges geometrically and needs no table lookup, no
branch and one division per argument: lanes evaluate it side by side. The interpolant is
printed in powers of t (its coefficients stay below 1.1 in size, so nothing cancels), for
Estrin's scheme, whose chain of dependent steps is five long instead of Horner's 24. Run and
paste the output over the coefficient array: python3 tools/erfcx_lanes_fit.py"""

import mpmath as mp

mp.mp.dps = 50
L = 3
DEGREE = 24


def g(t):
    if t == 1:
        return 1 / mp.sqrt(mp.pi)
    z = L * (1 + t) / (1 - t)
    return (z + L) * mp.erfc(z) * mp.exp(z * z)


def coefficients():
    """Chebyshev coefficients of the interpolant at the DEGREE + 1 Chebyshev points."""
    n = DEGREE + 1
    nodes = [mp.cos(mp.pi * (k + mp.mpf(1) / 2) / n) for k in range(n)]
    values = [g(t) for t in nodes]
    c = [2 * mp.fsum(values[k] * mp.cos(mp.pi * j * (k + mp.mpf(1) / 2) / n) for k in range(n)) / n
         for j in range(n)]
    c[0] /= 2
    return c


def powers(c):
    """The Chebyshev series Σ c_j·T_j(t) as Σ a_i·t^i (exact, in mpmath)."""
    n = len(c)
    t = [[mp.mpf(1)], [mp.mpf(0), mp.mpf(1)]]
    for j in range(2, n):
        nxt = [mp.mpf(0)] * (j + 1)
        for i, v in enumerate(t[j - 1]):
            nxt[i + 1] += 2 * v
        for i, v in enumerate(t[j - 2]):
            nxt[i] -= v
        t.append(nxt)
    return [mp.fsum(c[j] * t[j][i] for j in range(i, n) if i < len(t[j])) for i in range(n)]


def estrin(a, t):
    """Σ a_i·t^i in double, in the order lane_math.hpp forms it."""
    level, power = list(a), t
    while len(level) > 1:
        level = [level[i] + level[i + 1] * power if i + 1 < len(level) else level[i]
                 for i in range(0, len(level), 2)]
        power = power * power
    return level[0]


def main():
    cf = [float(x) for x in powers(coefficients())]
    worst = 0.0
    for i in range(4001):
        z = 40.0 * i / 4000.0
        inv = 1.0 / (z + L)
        approx = estrin(cf, (z - L) * inv) * inv
        exact = mp.erfc(z) * mp.exp(mp.mpf(z) ** 2)
        worst = max(worst, abs(float((approx - exact) / exact)))
    print(f"// L = {L}, degree {DEGREE}: largest relative error on [0, 40] {worst:.1e}")
    for i in range(0, len(cf), 4):
        print("    " + ", ".join(repr(x) for x in cf[i:i + 4]) + ",")


if __name__ == "__main__":
    main()
