"""Option pricing with a C++ core: closed-form Black–Scholes and a finite-difference grid.

Describe an option (``StockOption``), its market (``OptionMarketFrame``: spot, ``RateCurve``,
``VolSurface``) and how to value it (``Config`` of ``InstrumentPolicy`` entries), then
``option.valuation().market(frame).config(config).at(when).compute()`` gives an
``OptionResult``: the price and the ``Greeks``.

Units: rates and volatilities are fractions per year (0.05, 0.2); times are in years; prices
are in the currency of the spot. Delta is per unit of spot, gamma per unit of spot squared,
theta per year of calendar time, vega per 1.0 of volatility and rho per 1.0 of rate.

Errors, for every call: ``TypeError`` for arguments that do not bind ("StockOption.__new__()
missing 1 required positional argument: 'exercise_style'") or do not convert ("argument
'strike': must be real number, not str"; "argument 'option_type': 'ExerciseStyle' object
cannot be cast as 'OptionType'"); ``RuntimeError`` "Already borrowed" or "Already mutably
borrowed" when Python code run by a call (a ``datetime`` subclass's ``utcoffset`` or
``timestamp``) re-enters an object the call is using. A failing call changes nothing.
Internal faults (a broken invariant, a path the library does not implement) write a
diagnostic to stderr and raise ``PanicException``, a ``BaseException`` subclass that
``except Exception`` does not catch and that is not an attribute of this module; the objects
involved stay usable.

Every class is final, has read-only attributes and compares by identity.
"""

from collections.abc import Sequence
from datetime import date, datetime
from typing import ClassVar, final

__all__ = [
    "Compounding",
    "DayCountConvention",
    "Frequency",
    "InterestRate",
    "StockOption",
    "OptionMarketFrame",
    "Tenor",
    "RateCurve",
    "VolSurface",
    "FdmConfig",
    "Config",
    "OptionType",
    "ExerciseStyle",
    "ValuationBuilder",
    "OptionResult",
    "Greeks",
    "InstrumentPolicy",
]

# ---------------------------------------------------------------- calendar

@final
class DayCountConvention:
    """How a length of time between two instants becomes a year fraction.

    An enumeration: its members are class attributes, one object each (compare with ``is``);
    ``int()`` gives the member's code and ``repr()`` its bare name. Not instantiable.
    """

    Act360: ClassVar[DayCountConvention]
    """Actual/360: elapsed whole seconds over 360 days. Code 0."""
    Act365Fixed: ClassVar[DayCountConvention]
    """Actual/365 Fixed: elapsed whole seconds over 365 days. Code 1."""
    ActActISDA: ClassVar[DayCountConvention]
    """Actual/Actual ISDA: each calendar year's days over that year's length. Code 2."""
    Thirty360US: ClassVar[DayCountConvention]
    """30/360 US (bond basis): 30-day months, times of day ignored. Code 3."""

    def __int__(self) -> int:
        """The member's code: 0 ``Act360``, 1 ``Act365Fixed``, 2 ``ActActISDA``, 3 ``Thirty360US``."""

    def __repr__(self) -> str:
        """The member's name, for example ``Act365Fixed``."""

@final
class Tenor:
    """A length of calendar time (days, weeks, months or years) that advances dates.

    Made by the static methods; immutable.
    """

    @staticmethod
    def days(n: int) -> Tenor:
        """``n`` days (``n`` may be negative).

        Raises:
            OverflowError: ``n`` outside the signed 32-bit range ("out of range integral type
                conversion attempted").
        """

    @staticmethod
    def weeks(n: int) -> Tenor:
        """``n`` weeks of 7 days (``n`` may be negative).

        Raises:
            OverflowError: ``n`` outside the signed 32-bit range.
        """

    @staticmethod
    def months(n: int) -> Tenor:
        """``n`` calendar months; advancing clamps to the month's end (31 January + 1 month is 28 or 29 February).

        Raises:
            OverflowError: ``n`` outside the signed 32-bit range.
        """

    @staticmethod
    def years(n: int) -> Tenor:
        """``n`` calendar years, as 12·n months (29 February + 1 year is 28 February).

        Raises:
            OverflowError: ``n`` outside the signed 32-bit range.
        """

    def advance(self, from_: date, /) -> date:
        """A new ``datetime.date``: ``from`` advanced by this tenor.

        The argument's name is ``from``, a Python keyword, so pass it by position. A
        ``datetime`` counts as the date it falls on (time and zone ignored).

        Raises:
            TypeError: ``from`` is not a ``datetime.date``.
            ValueError: the result is outside the years 1 to 9999 that ``datetime.date``
                accepts (``datetime.date``'s own message).
            PanicException: a negative month or year count ("`NaiveDate + Months` out of range").
        """

# ---------------------------------------------------------------- rates

@final
class Frequency:
    """How often per year a compounded rate compounds.

    An enumeration: members are class attributes, one object each; ``int()`` gives the
    member's code (0 to 3), ``value`` the periods per year, ``repr()`` the bare name.
    """

    Annual: ClassVar[Frequency]
    """Once a year: code 0, value 1."""
    SemiAnnual: ClassVar[Frequency]
    """Twice a year: code 1, value 2."""
    Quarterly: ClassVar[Frequency]
    """Four times a year: code 2, value 4."""
    Monthly: ClassVar[Frequency]
    """Twelve times a year: code 3, value 12."""

    @property
    def value(self) -> int:
        """Compounding periods per year: 1, 2, 4 or 12 (not the code ``int()`` gives)."""

    def __int__(self) -> int:
        """The member's code: 0 ``Annual``, 1 ``SemiAnnual``, 2 ``Quarterly``, 3 ``Monthly``."""

    def __repr__(self) -> str:
        """The member's name, for example ``SemiAnnual``."""

@final
class Compounding:
    """The rule that turns a quoted rate r into a discount factor over t years.

    Made by the static methods; immutable.
    """

    @staticmethod
    def simple() -> Compounding:
        """Simple interest: a discount factor of 1 / (1 + r·t)."""

    @staticmethod
    def compounded(freq: Frequency) -> Compounding:
        """Compounded ``freq.value`` = n times a year: 1 / (1 + r/n)^(n·t).

        Raises:
            TypeError: ``freq`` is not a ``Frequency`` member.
        """

    @staticmethod
    def continuous() -> Compounding:
        """Continuous compounding: e^(−r·t)."""

    @staticmethod
    def simple_then_compounded(freq: Frequency) -> Compounding:
        """Simple, then compounded ``freq`` times a year: can be stored and printed only.

        A discount factor under it raises ``PanicException`` ("not yet implemented: Implement
        other logic").

        Raises:
            TypeError: ``freq`` is not a ``Frequency`` member.
        """

    def __repr__(self) -> str:
        """``Compounding.Simple``, ``Compounding.Continuous``, ``Compounding.Compounded(SemiAnnual)``, ...

        The kind, then the frequency's name in parentheses for the kinds that carry one.
        """

@final
class InterestRate:
    """A quoted rate with its compounding rule and day count convention. Immutable."""

    def __new__(cls, rate: float, compounding: Compounding, dcc: DayCountConvention) -> InterestRate:
        """A rate of ``rate`` per year as a fraction (0.05 for 5 %), any value kept as given.

        Raises:
            TypeError: ``rate`` is not a number, ``compounding`` not a ``Compounding``, or
                ``dcc`` not a ``DayCountConvention`` member.
        """

    def discount_factor(self, t: float) -> float:
        """The discount factor over ``t`` years by the compounding rule (1.0 at t = 0).

        Raises:
            TypeError: ``t`` is not a number.
            PanicException: simple-then-compounded compounding ("not yet implemented:
                Implement other logic").
        """

@final
class RateCurve:
    """The risk-free rate and discount factor for any time in years. Immutable.

    Flat (one rate for every time) or interpolated (zero rates linear in time between
    pillars, extrapolated along the first and last segment). A valuation reads a flat
    curve's rate as continuously compounded and cannot use an interpolated curve.
    """

    @staticmethod
    def flat(rate: InterestRate) -> RateCurve:
        """A flat curve holding a copy of ``rate``.

        Raises:
            TypeError: ``rate`` is not an ``InterestRate`` (a float belongs in ``continuous``).
        """

    @staticmethod
    def continuous(rate: float, day_count_convention: DayCountConvention) -> RateCurve:
        """A flat curve of a continuously compounded ``rate`` per year (a fraction).

        Raises:
            TypeError: ``rate`` is not a number or ``day_count_convention`` not a
                ``DayCountConvention`` member.
        """

    @staticmethod
    def interpolated(reference_date: date, tenors: Sequence[Tenor], rates: Sequence[InterestRate]) -> RateCurve:
        """Pillars at ``reference_date`` advanced by each tenor, each with its rate.

        Each pillar's time in years is measured under its own rate's day count convention;
        the zero rate is linear in time between pillars; discount factors use the first
        rate's compounding. A ``datetime`` reference date counts as its date.

        Raises:
            TypeError: a wrong type, or a ``str`` for a sequence ("Can't extract `str` to `Vec`").
            ValueError: "Curve Error: LengthMismatch" (counts differ), "Curve Error:
                Interpolation(InsufficientPoints)" (fewer than two pillars), "Curve Error:
                Interpolation(NotMonotonic)" (pillar times not strictly increasing), "invalid or
                out-of-range date".
            PanicException: a negative month or year tenor.
        """

    def zero_rate(self, t: float) -> float:
        """The zero rate at ``t`` years, a fraction per year.

        Raises:
            TypeError: ``t`` is not a number.
        """

    def discount_factor(self, t: float) -> float:
        """The discount factor at ``t`` years.

        Raises:
            TypeError: ``t`` is not a number.
            PanicException: simple-then-compounded compounding ("not yet implemented:
                Implement other logic").
        """

# ---------------------------------------------------------------- market data

@final
class VolSurface:
    """The volatility of the underlying by strike and time, with its day count convention. Immutable."""

    @staticmethod
    def flat(vol: float, day_count: DayCountConvention) -> VolSurface:
        """One volatility ``vol`` (a fraction per year, 0.2 for 20 %) for every strike and time; not checked.

        Raises:
            TypeError: ``vol`` is not a number or ``day_count`` not a ``DayCountConvention`` member.
        """

    def volatility(self, strike: float, t: float) -> float:
        """The volatility at ``strike`` and ``t`` years (a flat surface ignores both).

        Raises:
            TypeError: ``strike`` or ``t`` is not a number.
        """

@final
class OptionMarketFrame:
    """The market of a valuation: spot, rate curve and volatility surface, copied at construction. Immutable."""

    def __new__(cls, spot: float, rate_curve: RateCurve, vol_surface: VolSurface) -> OptionMarketFrame:
        """A frame of ``spot`` (in the currency of the strike; not checked) and copies of the curve and surface.

        The curve's and the surface's day count conventions are compared when a valuation
        runs, not here.

        Raises:
            TypeError: ``spot`` is not a number, ``rate_curve`` not a ``RateCurve`` or
                ``vol_surface`` not a ``VolSurface``.
        """

# ---------------------------------------------------------------- instruments

@final
class OptionType:
    """Call or put. An enumeration: members are class attributes, one object each; ``int()`` gives the code."""

    Call: ClassVar[OptionType]
    """The right to buy at the strike. Code 0."""
    Put: ClassVar[OptionType]
    """The right to sell at the strike. Code 1."""

    def __int__(self) -> int:
        """The member's code: 0 ``Call``, 1 ``Put``."""

    def __repr__(self) -> str:
        """``OptionType.Call`` or ``OptionType.Put``."""

@final
class ExerciseStyle:
    """When an option may be exercised. An enumeration: members are class attributes; ``int()`` gives the code."""

    American: ClassVar[ExerciseStyle]
    """At any time up to expiry. Code 0."""
    European: ClassVar[ExerciseStyle]
    """At expiry only. Code 1."""

    def __int__(self) -> int:
        """The member's code: 0 ``American``, 1 ``European``."""

    def __repr__(self) -> str:
        """``ExerciseStyle.American`` or ``ExerciseStyle.European``."""

@final
class StockOption:
    """An equity option: strike, expiry instant, call or put, American or European. Immutable."""

    def __new__(
        cls, strike: float, expiry_time: datetime, option_type: OptionType, exercise_style: ExerciseStyle
    ) -> StockOption:
        """An option expiring at the timezone-aware ``expiry_time``.

        ``strike`` is in the currency of the spot and is not checked. The expiry is kept as
        the exact UTC instant of ``expiry_time.timestamp()``; its zone is not kept.

        Raises:
            TypeError: ``strike`` is not a number, ``expiry_time`` not a ``datetime.datetime``
                ("argument 'expiry_time': 'date' object cannot be cast as 'datetime'"), or a
                wrong enumeration.
            ValueError: a naive expiry ("Expiry must have a timezone specified (e.g. New York
                or UTC)") or one outside the calendar ("Invalid timestamp").
        """

    @property
    def strike(self) -> float:
        """The strike, in the currency of the spot."""

    def years_to_expiry(self, valuation_date: datetime | None = None) -> float:
        """Years from ``valuation_date`` (None: the wall clock now) to the expiry, Actual/365 Fixed.

        Whole seconds elapsed (the fraction of a second dropped) over 31,536,000; negative
        when the expiry comes first. The time to expiry a valuation uses.

        Raises:
            TypeError: ``valuation_date`` is neither None nor a ``datetime.datetime``.
            ValueError: a naive ``valuation_date`` ("valuation_date must be timezone-aware (e.g.,
                UTC or New York time)") or one outside the calendar ("Invalid valuation_date
                timestamp").
        """

    def valuation(self) -> ValuationBuilder:
        """A new ``ValuationBuilder`` for this very option (not a copy)."""

# ---------------------------------------------------------------- valuation

@final
class FdmConfig:
    """Settings of the finite-difference grid. Immutable; no readable attributes."""

    def __new__(
        cls, time_steps: int | None = None, nodes: int | None = None, grid_std_devs: float | None = None
    ) -> FdmConfig:
        """Grid settings; None keeps the default.

        Args:
            time_steps: time steps from expiry to the valuation time (default 50). Zero steps
                leave theta NaN.
            nodes: spatial nodes in ln S (default 1001), made odd (an even count is raised by
                one) so that the strike is a node. 0 and 1 (made 1) fail when the grid is built
                (``PanicException`` "TridiagonalOperator requires at least 3 elements, found 1").
            grid_std_devs: half-width of the grid in standard deviations σ√T around ln K
                (default 6.0), widened when needed to cover the spot.

        Raises:
            TypeError: ``time_steps`` or ``nodes`` is not an integer, ``grid_std_devs`` not a number.
            OverflowError: ``time_steps`` or ``nodes`` negative or above 2^64 − 1.
            ValueError: ``grid_std_devs`` not positive and finite ("grid_std_devs must be a
                positive finite number, got 0.0").
        """

@final
class InstrumentPolicy:
    """A pricing method and the option kinds it is for, built by chained calls.

    Each call changes the policy in place and returns it. An empty list of exercise styles or
    of option types means all of them.
    """

    def __new__(cls) -> InstrumentPolicy:
        """A policy with no method set (it unsets the slots it covers) for every option kind."""

    def american(self) -> InstrumentPolicy:
        """Adds American exercise to the styles covered; returns this policy."""

    def european(self) -> InstrumentPolicy:
        """Adds European exercise to the styles covered; returns this policy."""

    def put(self) -> InstrumentPolicy:
        """Adds puts to the option types covered; returns this policy."""

    def call(self) -> InstrumentPolicy:
        """Adds calls to the option types covered; returns this policy."""

    def analytic(self) -> InstrumentPolicy:
        """Sets the method to the closed-form (European) formula; returns this policy.

        An American option on this method gets the European value.
        """

    def fdm(self, fdm_config: FdmConfig | None = None) -> InstrumentPolicy:
        """Sets the method to the finite-difference grid; returns this policy.

        ``fdm_config`` None means the default grid: 1001 nodes, 50 steps, 6.0 standard deviations.

        Raises:
            TypeError: ``fdm_config`` is neither None nor an ``FdmConfig``.
        """

@final
class Config:
    """The pricing method for each (exercise style, option type) pair."""

    def __new__(cls) -> Config:
        """The default table: American puts on the default grid, every other pair unset (so in closed form)."""

    def add_policy(self, policy: InstrumentPolicy) -> Config:
        """Sets the pairs ``policy`` covers to its method (a later policy overwrites); returns this configuration.

        The policy is copied: changing it later does not change the configuration. A builder
        holding this configuration sees the change.

        Raises:
            TypeError: ``policy`` is not an ``InstrumentPolicy``.
        """

@final
class ValuationBuilder:
    """Collects what a valuation needs, by chained setters, then ``compute()`` values the option.

    Holds the option, market frame and configuration objects themselves (not copies). Each
    setter returns this builder; the last call wins.
    """

    def __new__(cls, instrument: StockOption) -> ValuationBuilder:
        """A builder for ``instrument`` with no market, the default configuration and the wall clock.

        Raises:
            TypeError: ``instrument`` is not a ``StockOption``.
        """

    def market(self, market_frame: OptionMarketFrame) -> ValuationBuilder:
        """Sets the market; returns this builder.

        Raises:
            TypeError: ``market_frame`` is not an ``OptionMarketFrame`` (None included).
        """

    def at(self, valuation_time: datetime | None = None) -> ValuationBuilder:
        """Sets the valuation time, a timezone-aware datetime; returns this builder.

        None (the default) means the wall clock, read when ``compute()`` runs.

        Raises:
            TypeError: ``valuation_time`` is neither None nor a ``datetime.datetime``.
            ValueError: a naive time ("Expiry must have a timezone specified (e.g. New York or
                UTC)") or one outside the calendar ("Invalid timestamp").
        """

    def config(self, config: Config | None = None) -> ValuationBuilder:
        """Sets the configuration (None: the default ``Config()``); returns this builder.

        Raises:
            TypeError: ``config`` is neither None nor a ``Config``.
        """

    def compute(self) -> OptionResult:
        """Values the option: a new ``OptionResult``.

        T is the Actual/365 Fixed time to expiry (whole seconds over 31,536,000), r the
        curve's rate as a continuously compounded rate, σ the surface's volatility; no
        dividends. The method is the configuration's for the option's pair: the grid, or the
        closed form (an American option gets the European formula). The builder is not changed.
        An expired option gives NaN in closed form and a ``PanicException`` on the grid.

        Raises:
            ValueError: no market ("Market data is required for valuation.") or the curve and
                surface disagree ("Mismatched day count conventions: Rates use Actual365Fixed,
                while Vol uses Actual360. They must be identical.").
            MemoryError: a grid too large to allocate.
            KeyboardInterrupt: Ctrl-C during a grid valuation.
            PanicException: an interpolated curve ("not yet implemented"); on the grid, an
                expired option, a negative or NaN spot or a NaN volatility ("NaN in Grid"), or
                fewer than 3 nodes.
        """

@final
class Greeks:
    """Sensitivities of a price. Immutable; made only by valuations."""

    @property
    def delta(self) -> float:
        """∂price/∂spot, per unit of spot."""

    @property
    def gamma(self) -> float:
        """∂²price/∂spot², per unit of spot squared."""

    @property
    def theta(self) -> float:
        """∂price/∂t in calendar time, per year (not per day): the negative of the derivative in time to expiry."""

    @property
    def vega(self) -> float | None:
        """∂price/∂σ per 1.0 of volatility (not per percentage point); None after the grid."""

    @property
    def rho(self) -> float | None:
        """∂price/∂r per 1.0 of rate (not per percentage point); None after the grid."""

@final
class OptionResult:
    """The outcome of a valuation: price and greeks. Immutable; made only by ``compute()``."""

    @property
    def price(self) -> float:
        """The option's value, in the currency of the spot."""

    @property
    def greeks(self) -> Greeks:
        """The greeks, as a new ``Greeks`` object at every access."""

    def __repr__(self) -> str:
        """``<OptionResult price=10.4506>``: the price to four decimals, correctly rounded."""
