"""Draws the documentation's figures from the library itself into docs/figures/.

    pip install .[docs]
    python docs/make_figures.py                     # every figure, about a minute
    python docs/make_figures.py convergence greeks  # some of them

The performance figure is read from the benchmarks' recorded output,
bench/results/performance.json (written by `bench/python/bench_batch.py --save` and
`bench/python/bench_implied_vol.py --save`); without that file it is skipped.
"""
from __future__ import annotations

import argparse
import json
import math
import sys
import textwrap
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.ticker import FuncFormatter, LogLocator  # noqa: E402

import sorvik_batch as sb  # noqa: E402

HERE = Path(__file__).resolve().parent
FIGURES = HERE / "figures"
PERFORMANCE = HERE.parent / "bench" / "results" / "performance.json"

# One colour per role, the same on every figure.
CLOSED_FORM, GRID, AMERICAN, PEER, PAYOFF = "#1f4e79", "#e07b00", "#2a9d4b", "#8c8c8c", "#444444"

plt.rcParams.update({
    "figure.dpi": 110, "savefig.dpi": 110, "font.size": 9.5, "axes.titlesize": 10.5,
    "axes.spines.top": False, "axes.spines.right": False, "axes.grid": True, "grid.alpha": 0.3,
    "legend.frameon": False, "legend.fontsize": 8.5,
})


def save(figure: plt.Figure, name: str) -> None:
    path = FIGURES / f"{name}.png"
    # No software version in the file, so that redrawing the same figure gives the same bytes.
    figure.savefig(path, metadata={"Software": None}, bbox_inches="tight")
    plt.close(figure)
    print(f"wrote {path.relative_to(HERE.parent)}")


# 1. Convergence: the grid's error against the closed form as nodes and steps grow.

def convergence() -> None:
    # A spot off the nodes, so that the read-off between them shows; the greeks against the
    # true (closed-form) greeks.
    spot, strike = 97.3, 100.0
    years, rate, vol = 1.0, 0.05, 0.2
    exact = sb.value(spot, strike, years, rate, vol, option_type="put")
    reference = {"price": exact.price, "delta": exact.delta, "gamma": exact.gamma, "theta": exact.theta}

    def errors(nodes: int, steps: int) -> dict[str, float]:
        grid = sb.value(spot, strike, years, rate, vol, option_type="put", method="fdm", nodes=nodes,
                        time_steps=steps)
        return {name: abs(getattr(grid, name) - value) for name, value in reference.items()}

    node_counts = [51, 101, 201, 401, 801, 1601, 3201, 6401, 12801]
    step_counts = [2, 4, 8, 16, 32, 64, 128, 256, 512]
    by_nodes = [errors(n, 4000) for n in node_counts]
    by_steps = [errors(40001, m) for m in step_counts]

    figure, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True, layout="constrained")
    styles = {"price": ("o", "price"), "delta": ("s", "delta"), "gamma": ("^", "gamma"),
              "theta": ("D", "theta (per year)")}
    for ax, counts, rows, fixed, default, label in (
            (axes[0], node_counts, by_nodes, "4,000 time steps", 1001, "nodes"),
            (axes[1], step_counts, by_steps, "40,001 nodes", 50, "time steps")):
        for name, (marker, text) in styles.items():
            ax.loglog(counts, [row[name] for row in rows], marker=marker, ms=4, lw=1.2, label=text)
        # A second-order slope through the first price error, for the eye.
        c = np.array(counts, dtype=float)
        ax.loglog(c, rows[0]["price"] * (c[0] / c) ** 2 * 3, color=PEER, ls="--", lw=1, label="slope −2")
        ax.axvline(default, color=PAYOFF, ls=":", lw=1)
        ax.annotate(f"default {default}", (default, 0.02), xycoords=("data", "axes fraction"), rotation=90,
                    ha="right", va="bottom", fontsize=8, color=PAYOFF)
        ax.set_xlabel(label)
        ax.set_title(f"By {label} ({fixed})")
    axes[0].set_ylabel("absolute error")
    axes[0].set_ylim(1e-9, 1)
    axes[0].legend(loc="lower left")
    figure.suptitle("Grid error against the closed form: European put, S = 97.3, K = 100, r = 5%, σ = 20%, T = 1")
    save(figure, "convergence")


# 2. The American premium across spot and the early-exercise boundary over time.

def american() -> None:
    strike, rate, vol = 100.0, 0.05, 0.2
    grid = {"nodes": 2001, "time_steps": 200}
    spots = np.linspace(60.0, 140.0, 321)

    def put(spot: object, years: object, exercise: str) -> np.ndarray:
        return sb.value(spot, strike, years, rate, vol, option_type="put", exercise=exercise, method="fdm",
                        **grid).price

    def boundary(years: np.ndarray) -> np.ndarray:
        """The highest spot at which the grid's American put is worth exactly its payoff."""
        low, high = np.full(years.shape, 1.0), np.full(years.shape, strike)
        for _ in range(40):  # bisection, all maturities at once
            middle = 0.5 * (low + high)
            exercised = put(middle, years, "american") <= strike - middle
            low, high = np.where(exercised, middle, low), np.where(exercised, high, middle)
        return low

    figure, axes = plt.subplots(1, 3, figsize=(13, 4), layout="constrained")
    ax = axes[0]
    ax.plot(spots, np.maximum(strike - spots, 0.0), color=PAYOFF, lw=1, ls="--", label="payoff K − S")
    ax.plot(spots, put(spots, 1.0, "european"), color=CLOSED_FORM, lw=1.5, label="European")
    ax.plot(spots, put(spots, 1.0, "american"), color=AMERICAN, lw=1.5, label="American")
    ax.set(xlabel="spot S", ylabel="price", title="Put values, T = 1", ylim=(0, 42))
    ax.legend()

    ax = axes[1]
    maturities = [0.1, 0.5, 1.0, 2.0]
    edges = boundary(np.array(maturities))
    for years, edge, shade in zip(maturities, edges, (0.35, 0.55, 0.75, 1.0)):
        premium = put(spots, years, "american") - put(spots, years, "european")
        line, = ax.plot(spots, premium, color=AMERICAN, alpha=shade, lw=1.5, label=f"T = {years:g}")
        ax.plot([edge], [np.interp(edge, spots, premium)], "o", color=line.get_color(), alpha=shade, ms=4)
    ax.set(xlabel="spot S", ylabel="American − European", title="Early-exercise premium (dots: S* for that T)")
    ax.legend()

    ax = axes[2]
    taus = np.concatenate([np.geomspace(0.001, 0.1, 25, endpoint=False), np.linspace(0.1, 3.0, 59)])
    edges = boundary(taus)
    perpetual = strike * 2 * rate / (2 * rate + vol * vol)
    ax.fill_between(taus, 0, edges, color=AMERICAN, alpha=0.12, lw=0)
    ax.plot(taus, edges, color=AMERICAN, lw=1.8, label="boundary S*(τ) from the grid")
    ax.axhline(perpetual, color=PAYOFF, ls="--", lw=1, label=f"perpetual put's boundary {perpetual:.1f}")
    ax.text(2.2, 64, "exercise", color=AMERICAN, ha="center")
    ax.text(0.9, 91, "hold", color=PAYOFF, ha="center")
    ax.set(xlabel="time to expiry τ (years)", ylabel="spot", ylim=(60, 101), xlim=(0, 3.0),
           title="Early-exercise boundary")
    ax.legend(loc="upper right")
    figure.suptitle(f"American put on the grid ({grid['nodes']} nodes × {grid['time_steps']} steps), K = 100, "
                    "r = 5%, σ = 20%")
    save(figure, "american")


# 3. Price and greeks across spot, closed form against the grid.

def greeks() -> None:
    strike, years, rate, vol = 100.0, 0.5, 0.05, 0.25
    spots = np.linspace(60.0, 140.0, 161)
    marked = spots[::8]
    closed = sb.value(spots, strike, years, rate, vol, option_type="put", method="analytic")
    grid = sb.value(marked, strike, years, rate, vol, option_type="put", method="fdm", bumped_vega_rho=True)
    american = sb.value(spots, strike, years, rate, vol, option_type="put", exercise="american")
    names = [("price", "price"), ("delta", "delta"), ("gamma", "gamma"), ("theta", "theta (per year)"),
             ("vega", "vega (per 1.0 of σ)"), ("rho", "rho (per 1.0 of r)")]
    figure, axes = plt.subplots(2, 3, figsize=(12, 6.5), sharex=True, layout="constrained")
    for ax, (name, title) in zip(axes.flat, names):
        ax.plot(spots, getattr(closed, name), color=CLOSED_FORM, lw=1.5, label="European, closed form")
        ax.plot(marked, getattr(grid, name), "o", color=GRID, ms=4, label="European, grid")
        ax.plot(spots, getattr(american, name), color=AMERICAN, lw=1.5, label="American, exercise-boundary engine")
        ax.axvline(strike, color=PAYOFF, ls=":", lw=0.8)
        ax.set_title(title)
    for ax in axes[1]:
        ax.set_xlabel("spot S")
    axes[0, 0].legend()
    figure.suptitle("Put, K = 100, r = 5%, σ = 25%, T = 0.5: European grid 1001 nodes × 50 steps "
                    "(vega and rho from bumped valuations); American with the exercise-boundary engine")
    save(figure, "greeks")


# 4. An implied-volatility chain: a smile of quotes, back to volatilities and forward again.

def implied_vol() -> None:
    spot, years, rate, dividend_yield = 100.0, 0.25, 0.04, 0.01
    strikes = np.linspace(50.0, 160.0, 45)
    moneyness = np.log(strikes / spot)
    smile = 0.2 - 0.1 * moneyness + 0.5 * moneyness ** 2
    kind = np.where(strikes < spot, "put", "call")  # out-of-the-money quotes, as a chain is quoted
    common = {"option_type": kind, "dividend_yield": dividend_yield}

    figure, axes = plt.subplots(1, 3, figsize=(13, 4), layout="constrained")
    axes[0].plot(strikes, smile, color=PAYOFF, lw=1.2, label="volatility the quotes were made with")
    floor = 1e-18  # where exact zeros are drawn on the log axes
    for exercise, marker, colour in (("european", "o", CLOSED_FORM), ("american", "x", AMERICAN)):
        quotes = sb.value(spot, strikes, years, rate, smile, exercise=exercise, **common).price
        implied = sb.implied_vol(quotes, spot, strikes, years, rate, exercise=exercise, **common)
        repriced = sb.value(spot, strikes, years, rate, implied, exercise=exercise, **common).price
        text = "European (closed form)" if exercise == "european" else "American (exercise boundary)"
        axes[0].plot(strikes, implied, marker, color=colour, ms=4, mfc="none", label=f"implied, {text}")
        for ax, error in ((axes[1], np.abs(implied - smile)), (axes[2], np.abs(repriced - quotes))):
            exact = error == 0
            ax.semilogy(strikes[~exact], error[~exact], marker, color=colour, ms=4, mfc="none", label=text)
            if exact.any():
                ax.semilogy(strikes[exact], np.full(exact.sum(), floor), marker, color=colour, ms=4, mfc="none",
                            clip_on=False)
        if exercise == "european":
            # The promise: within max(1e-12·σ, Δp/vega), Δp the rounding a price of this size carries.
            vega = sb.value(spot, strikes, years, rate, smile, **common).vega
            rounding = 8 * 2.0 ** -52 * np.maximum(spot * math.exp(-dividend_yield * years),
                                                    strikes * math.exp(-rate * years))
            axes[1].semilogy(strikes, np.maximum(1e-12 * smile, rounding / vega), color=CLOSED_FORM, lw=1,
                             ls="--", label="European promise")
    axes[2].axhline(1e-10 * max(spot, strikes.max()), color=AMERICAN, lw=1, ls="--",
                    label="American promise, 10⁻¹⁰·max(S, K)")
    axes[0].set(xlabel="strike K", ylabel="volatility", title="Smile: quotes → implied_vol")
    axes[1].set(xlabel="strike K", ylabel="|implied − true σ|", title="Volatility error")
    axes[2].set(xlabel="strike K", ylabel="|value(implied) − quote|", title="Repricing error")
    for ax in axes[1:]:
        ax.set_ylim(floor / 3, 1e-4)
        ticks = [floor] + [10.0 ** e for e in range(-16, -3, 2)]
        ax.set_yticks(ticks, ["0"] + [f"$10^{{{e}}}$" for e in range(-16, -3, 2)])
        ax.axhspan(floor / 3, 1e-17, color=PEER, alpha=0.12, lw=0)  # the band of exact zeros
    for ax in axes:
        ax.legend(loc="upper center")
    figure.suptitle("Out-of-the-money puts and calls, S = 100, T = 0.25, r = 4%, q = 1%; "
                    "American quotes with the exercise-boundary engine")
    save(figure, "implied_vol")


# 5. Speed and accuracy against the peers, from the benchmarks' recorded output.

def seconds_text(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.2g} ns"


def bars(ax: plt.Axes, rows: list[dict[str, object]], ours: str, theirs: str, label: str,
         text: object) -> None:
    """Two horizontal bars per case on a log axis, sorvik's above the peer's, ratio at the right."""
    positions = np.arange(len(rows))[::-1] * 3.0
    values = [(float(row[ours]), float(row[theirs])) for row in rows]  # type: ignore[arg-type]
    smallest = min(v for pair in values for v in pair if v > 0)
    floor = smallest / 10  # a bar of exactly 0 is drawn down to here
    for y, row, (a, b) in zip(positions, rows, values):
        ax.barh(y + 0.5, max(a, floor) - floor, left=floor, height=0.9, color=CLOSED_FORM)
        ax.barh(y - 0.5, max(b, floor) - floor, left=floor, height=0.9, color=PEER)
        ax.text(max(a, floor), y + 0.5, f" {text(a)}", va="center", fontsize=8)
        ax.text(max(b, floor), y - 0.5, f" {text(b)}  {row['peer']}", va="center", fontsize=8)
    ax.set_xscale("log")
    ax.set_xlim(floor, max(max(pair) for pair in values) * 300)
    ax.xaxis.set_major_locator(LogLocator(numticks=12))
    ax.set_yticks(positions, [f"{row['case']}\n{label_of(row, ours, theirs)}" for row in rows])
    ax.grid(axis="y", visible=False)
    ax.set_xlabel(label)


def label_of(row: dict[str, object], ours: str, theirs: str) -> str:
    """How sorvik compares with the peer in this row: "12× faster", "3× smaller", ..."""
    a, b = float(row[ours]), float(row[theirs])  # type: ignore[arg-type]
    if not (a > 0 and b > 0):
        return ""
    better, worse = ("smaller", "larger") if ours.endswith("error") else ("faster", "slower")
    return f"sorvik {b / a:.3g}× {better}" if b >= a else f"sorvik {a / b:.3g}× {worse}"


def performance(path: Path) -> None:
    if not path.exists():
        print(f"skipped performance: {path} is missing; record it with the benchmarks' --save option "
              "(see bench/README.md)")
        return
    record = json.loads(path.read_text())
    speed, accuracy = record.get("speed", []), record.get("accuracy", [])
    panels = [p for p in (speed, accuracy) if p]
    if not panels:
        print(f"skipped performance: {path} has no cases")
        return
    heights = [len(p) for p in panels]
    figure, axes = plt.subplots(len(panels), 1, figsize=(10, 1.0 + 1.1 * sum(heights)),
                                gridspec_kw={"height_ratios": heights}, squeeze=False,
                                layout="constrained")
    axes = axes[:, 0]
    if speed:
        bars(axes[0], speed, "sorvik_seconds", "peer_seconds", "seconds (log scale); per option, quote or call "
             "as the case says", seconds_text)
        axes[0].set_title("Speed: time per unit of work (shorter is better)")
        axes[0].set_yticks(axes[0].get_yticks(), [f"{row['case']} (per {row['per']})\n"
                                                  f"{label_of(row, 'sorvik_seconds', 'peer_seconds')}"
                                                  for row in speed])
        axes[0].xaxis.set_major_formatter(FuncFormatter(lambda x, _: seconds_text(x)))
    if accuracy:
        ax = axes[-1]
        bars(ax, accuracy, "sorvik_error", "peer_error", "error (log scale)",
             lambda e: f"{e:.2g}" if e else "0 (exact)")
        ax.set_title("Accuracy: error against the reference (shorter is better)")
        ax.set_yticks(ax.get_yticks(), ["\n".join(textwrap.wrap(f"{row['case']} ({row['measure']})", 48)) + "\n"
                                        + label_of(row, "sorvik_error", "peer_error") for row in accuracy])
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in (CLOSED_FORM, PEER)]
    figure.legend(handles, ["sorvik", "peer (named at its bar)"], loc="outside upper center", ncols=2)
    save(figure, "performance")
    # The page includes this fragment, so the figure appears once the benchmarks have recorded it.
    (FIGURES / "performance.md").write_text(
        "[![Speed and accuracy against the peers, from the recorded benchmark output]"
        "(figures/performance.png)](figures/performance.png)\n")


FIGURE_MAKERS = {"convergence": convergence, "american": american, "greeks": greeks, "implied_vol": implied_vol}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    names = [*FIGURE_MAKERS, "performance"]
    parser.add_argument("figures", nargs="*", metavar="FIGURE",
                        help=f"which figures to draw: {', '.join(names)} (default: all)")
    parser.add_argument("--performance", type=Path, default=PERFORMANCE, metavar="JSON",
                        help="the recorded benchmark output (default: bench/results/performance.json)")
    args = parser.parse_args()
    unknown = sorted(set(args.figures) - set(names))
    if unknown:
        parser.error(f"unknown figure {', '.join(unknown)}; choose from {', '.join(names)}")
    chosen = args.figures or names
    FIGURES.mkdir(exist_ok=True)
    for name in chosen:
        if name == "performance":
            performance(args.performance)
        else:
            FIGURE_MAKERS[name]()
    return 0


if __name__ == "__main__":
    sys.exit(main())
