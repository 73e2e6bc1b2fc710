# tools/erfcx_table.py: prints the coefficient table of src/core/pricing/erfcx.cpp (needs mpmath).
"""erfcx(z) = exp(z²)·erfc(z) on [0, 40) as degree-9 polynomials in v = z − (interval midpoint):
64 intervals of width 1/8 on [0, 8), then 64 of width 1/2 on [8, 40). Each polynomial
interpolates erfcx at the 10 Chebyshev points of its interval (near-minimax for a function
this smooth); evaluated in double it stays within one ulp. Run and paste the output over
the table: python3 tools/erfcx_table.py"""

import mpmath as mp

mp.mp.dps = 50
DEGREE = 9
REGIONS = [(0, 8, mp.mpf(1) / 8), (8, 40, mp.mpf(1) / 2)]


def erfcx(z):
    return mp.erfc(z) * mp.exp(z * z)


def monomials(lo, hi):
    """Coefficients of the Chebyshev interpolant on [lo, hi] in powers of z − midpoint."""
    n = DEGREE + 1
    mid, half = (lo + hi) / 2, (hi - lo) / 2
    nodes = [mp.cos(mp.pi * (k + mp.mpf(1) / 2) / n) for k in range(n)]
    values = [erfcx(mid + half * c) for c in nodes]
    cheb = [2 * mp.fsum(values[k] * mp.cos(mp.pi * j * (k + mp.mpf(1) / 2) / n) for k in range(n)) / n
            for j in range(n)]
    cheb[0] /= 2
    # T_j as power series in the normalised variable c = v / half.
    t = [[mp.mpf(1)], [mp.mpf(0), mp.mpf(1)]]
    for j in range(2, n):
        nxt = [mp.mpf(0)] * (j + 1)
        for i, c in enumerate(t[j - 1]):
            nxt[i + 1] += 2 * c
        for i, c in enumerate(t[j - 2]):
            nxt[i] -= c
        t.append(nxt)
    power = [mp.fsum(cheb[j] * t[j][i] for j in range(i, n) if i < len(t[j])) for i in range(n)]
    return [power[i] / half**i for i in range(n)]


def main():
    for lo, hi, width in REGIONS:
        count = int((hi - lo) / width)
        for i in range(count):
            a = lo + i * width
            c = [repr(float(c)) for c in monomials(a, a + width)]
            print(f"    // [{float(a)}, {float(a + width)})")
            print(f"    {{{', '.join(c[:5])},")
            print(f"     {', '.join(c[5:])}}},")


if __name__ == "__main__":
    main()
