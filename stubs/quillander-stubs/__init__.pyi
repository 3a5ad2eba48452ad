# Type information for the quillander extension module.
from collections.abc import Callable, Sequence
from typing import Any, ClassVar, SupportsFloat, SupportsIndex, final

__version__: str
__all__ = [
    "__version__",
    "plot_function",
    "Calendar",
    "YearMonthDay",
    "Date",
    "DayCounter",
    "Tenor",
    "BlackScholesMetrics",
    "BlackScholes",
    "Interpolator",
    "YieldCurve",
    "BusDayAdj",
    "ExtrapType",
    "InterpType",
    "StubType",
    "TenorUnit",
    "PutCallFlag",
    "PayerReceiverFlag",
    "Weekday",
    "exp",
    "ln",
    "log10",
    "log2",
    "pow2",
    "sqrt",
    "sin",
    "cos",
    "tan",
    "erf",
    "erfc",
    "erf_inv",
    "erfc_inv",
]

def plot_function(
    func: Callable[[float], SupportsFloat | SupportsIndex],
    x0: float,
    x1: float,
    n: int = 100,
    grid: bool = True,
    show: bool = True,
    figsize: tuple[Any, ...] | None = None,
    **py_kwargs: Any,
) -> None:
    """Sample func at n points from x0 (included) towards x1 (excluded) and draw them with matplotlib.pyplot."""
def exp(x: float) -> float:
    """e raised to the power x."""
def ln(x: float) -> float:
    """The natural logarithm of x: NaN below 0, -inf at 0."""
def log10(x: float) -> float:
    """The base-10 logarithm of x: NaN below 0, -inf at 0."""
def log2(x: float) -> float:
    """The base-2 logarithm of x: NaN below 0, -inf at 0."""
def pow2(x: float) -> float:
    """The square of x."""
def sqrt(x: float) -> float:
    """The square root of x: NaN below 0."""
def sin(x: float) -> float:
    """The sine of x (radians)."""
def cos(x: float) -> float:
    """The cosine of x (radians)."""
def tan(x: float) -> float:
    """The tangent of x (radians)."""
def erf(x: float) -> float:
    """The error function at x (a rational approximation, about 1e-10 relative)."""
def erfc(x: float) -> float:
    """The complementary error function 1 - erf(x) at x."""
def erf_inv(x: float) -> float:
    """The inverse error function at x: -inf from -1 down, +inf from 1 up."""
def erfc_inv(x: float) -> float:
    """The inverse complementary error function at x: +inf from 0 down, -inf from 2 up."""

@final
class Calendar:
    """A business-day calendar: 'QD_NONE' (every day a business day) or 'QD_WEEK' (Saturdays and Sundays off)."""
    def __new__(cls, s: str) -> Calendar:
        """The calendar of that name, 'QD_NONE' or 'QD_WEEK'; ValueError for any other."""
    def get_name(self) -> str:
        """The calendar's name, 'QD_NONE' or 'QD_WEEK'."""
    def is_business_day(self, date: Date) -> bool:
        """Whether date is a business day of this calendar."""
    def is_weekend(self, date: Date) -> bool:
        """Whether date falls on this calendar's weekend."""

@final
class YearMonthDay:
    """A date's year, month and day, as Date.get_ymd() hands them out; it has no readable fields."""

@final
class Date:
    """A calendar date from 1899-01-01 to 65535-12-31, held as a serial day count from 1899-12-30."""
    def __new__(cls, *py_args: int | str) -> Date:
        """Date(year, month, day), or Date(text) from 'YYYY-MM-DD', 'YYYYMMDD' or 'YYYY/MM/DD'."""
    def year(self) -> int:
        """The year, 1899 to 65535."""
    def month(self) -> int:
        """The month, 1 to 12."""
    def day(self) -> int:
        """The day of the month, 1 to 31."""
    def to_int(self) -> int:
        """The serial number: days since 1899-12-30."""
    def to_str(self) -> str:
        """The date as text, 'YYYY-MM-DD'."""
    def get_ymd(self) -> YearMonthDay:
        """The date's year, month and day as a YearMonthDay."""
    @staticmethod
    def is_leap_year(year: int) -> bool:
        """Whether year is a Gregorian leap year."""
    @staticmethod
    def days_in_month(year: int, month: int) -> int:
        """The number of days in month of year."""
    def weekday(self) -> Weekday:
        """The day of the week, as a Weekday."""
    def is_business_day(self, cal: Calendar) -> bool:
        """Whether the date is a business day of cal."""
    def is_weekend(self, cal: Calendar) -> bool:
        """Whether the date falls on cal's weekend."""
    def add_tenor(self, t: str) -> Date:
        """The date moved by tenor text such as '3M' or '-1Y', month ends clamped."""
    def __add__(self, other: int, /) -> Date:
        """The date that many days later (earlier for a negative count)."""
    def __sub__(self, other: Date, /) -> int:
        """The number of days from other to this date."""

@final
class DayCounter:
    """A day-count convention turning the days between two dates into a year fraction."""
    Act365: ClassVar[DayCounter]
    Act360: ClassVar[DayCounter]
    Thirty360: ClassVar[DayCounter]
    def __new__(cls, s: str) -> DayCounter:
        """The day counter of that name: 'Act365', 'Act360' or 'Thirty360'."""
    def get_dcf(self, date1: Date, date2: Date) -> float:
        """The year fraction from date1 to date2 under this convention."""
    def get_dcf_act365(self, date1: Date, date2: Date) -> float:
        """The year fraction from date1 to date2 under Act365, whatever this convention."""
    def get_dcf_act360(self, date1: Date, date2: Date) -> float:
        """The year fraction from date1 to date2 under Act360, whatever this convention."""
    def get_dcf_30360(self, _date1: Date, _date2: Date) -> float:
        """The year fraction under Thirty360: not implemented, always an internal failure."""
    def __int__(self) -> int:
        """The variant's integer value."""
    def __eq__(self, other: object, /) -> bool:
        """Whether other is the same variant or its integer value."""
    def __ne__(self, other: object, /) -> bool:
        """Whether other is neither the same variant nor its integer value."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Tenor:
    """A period: a signed count of D (days), B (business days), W (weeks), M (months) or Y (years)."""
    def __new__(cls, s: str) -> Tenor:
        """The tenor of text such as '3M', '-2W' or '10Y'."""
    @property
    def count(self) -> int:
        """The signed number of units."""
    @property
    def unit(self) -> TenorUnit:
        """The unit, as a TenorUnit."""

@final
class BlackScholesMetrics:
    """The seven Black-Scholes metrics of one option, as BlackScholes.get_metrics gives them."""
    @property
    def npv(self) -> float:
        """The option's value, in the currency of spot and strike."""
    @property
    def delta(self) -> float:
        """The value's sensitivity per 1.00 of spot."""
    @property
    def gamma(self) -> float:
        """delta's sensitivity per 1.00 of spot."""
    @property
    def vega(self) -> float:
        """The value's sensitivity per 1.00 of volatility (not per point)."""
    @property
    def theta(self) -> float:
        """The value's change per year as time passes."""
    @property
    def rho_r(self) -> float:
        """The value's sensitivity per 1.00 of rate."""
    @property
    def rho_q(self) -> float:
        """The value's sensitivity per 1.00 of dividend yield."""

@final
class BlackScholes:
    """Black-Scholes values and sensitivities of European options with a continuous dividend yield."""
    @staticmethod
    def get_metrics_with_dates(spot: float, strike: float, rate: float, div_yield: float, eval_date: Date, expiry_date: Date, pc_flag: PutCallFlag, vol: float) -> BlackScholesMetrics | None:
        """All seven metrics, tau the days from eval_date to expiry_date over 365; None for a negative spot, strike or vol."""
    @staticmethod
    def get_metrics(spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag, vol: float) -> BlackScholesMetrics | None:
        """All seven metrics in closed form, bit for bit the single-metric methods; None for a negative spot, strike or vol."""
    @staticmethod
    def get_metrics_fd_with_dates(spot: float, strike: float, rate: float, div_yield: float, eval_date: Date, expiry_date: Date, pc_flag: PutCallFlag, vol: float) -> BlackScholesMetrics | None:
        """get_metrics_fd with tau the days from eval_date to expiry_date over 365."""
    @staticmethod
    def get_metrics_fd(spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag, vol: float) -> BlackScholesMetrics | None:
        """The closed-form value with sensitivities by finite differences of it; None for a negative spot, strike or vol."""
    @staticmethod
    def npv_with_dates(spot: float, strike: float, rate: float, div_yield: float, eval_date: Date, expiry_date: Date, pc_flag: PutCallFlag, vol: float) -> float | None:
        """npv with tau the days from eval_date to expiry_date over 365."""
    @staticmethod
    def npv(spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag, vol: float) -> float | None:
        """The option's value; None for a negative spot, strike or vol."""
    @staticmethod
    def npv_impl(spot: float, strike: float, chi: float, df_r: float, df_q: float, cdf_d1: float, cdf_d2: float) -> float:
        """npv from its precomputed parts: the closing formula alone."""
    @staticmethod
    def delta_with_dates(spot: float, strike: float, rate: float, div_yield: float, eval_date: Date, expiry_date: Date, pc_flag: PutCallFlag, vol: float) -> float | None:
        """delta with tau the days from eval_date to expiry_date over 365."""
    @staticmethod
    def delta(spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag, vol: float) -> float | None:
        """The value's sensitivity per 1.00 of spot; None for a negative spot, strike or vol."""
    @staticmethod
    def delta_impl(chi: float, df_q: float, cdf_d1: float) -> float:
        """delta from its precomputed parts: the closing formula alone."""
    @staticmethod
    def gamma_with_dates(spot: float, strike: float, rate: float, div_yield: float, eval_date: Date, expiry_date: Date, pc_flag: PutCallFlag, vol: float) -> float | None:
        """gamma with tau the days from eval_date to expiry_date over 365."""
    @staticmethod
    def gamma(spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag, vol: float) -> float | None:
        """delta's sensitivity per 1.00 of spot; None for a negative spot, strike or vol."""
    @staticmethod
    def gamma_impl(spot: float, vol: float, sqrt_tau: float, df_q: float, pdf_d1: float) -> float:
        """gamma from its precomputed parts: the closing formula alone."""
    @staticmethod
    def vega_with_dates(spot: float, strike: float, rate: float, div_yield: float, eval_date: Date, expiry_date: Date, pc_flag: PutCallFlag, vol: float) -> float | None:
        """vega with tau the days from eval_date to expiry_date over 365."""
    @staticmethod
    def vega(spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag, vol: float) -> float | None:
        """The value's sensitivity per 1.00 of volatility; None for a negative spot, strike or vol."""
    @staticmethod
    def vega_impl(spot: float, sqrt_tau: float, df_q: float, pdf_d1: float) -> float:
        """vega from its precomputed parts: the closing formula alone."""
    @staticmethod
    def theta_with_dates(spot: float, strike: float, rate: float, div_yield: float, eval_date: Date, expiry_date: Date, pc_flag: PutCallFlag, vol: float) -> float | None:
        """theta with tau the days from eval_date to expiry_date over 365."""
    @staticmethod
    def theta(spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag, vol: float) -> float | None:
        """The value's change per year as time passes; None for a negative spot, strike or vol."""
    @staticmethod
    def theta_impl(spot: float, strike: float, rate: float, div_yield: float, vol: float, chi: float, sqrt_tau: float, df_r: float, df_q: float, pdf_d1: float, cdf_d1: float, cdf_d2: float) -> float:
        """theta from its precomputed parts: the closing formula alone."""
    @staticmethod
    def rho_r_with_dates(spot: float, strike: float, rate: float, div_yield: float, eval_date: Date, expiry_date: Date, pc_flag: PutCallFlag, vol: float) -> float | None:
        """rho_r with tau the days from eval_date to expiry_date over 365."""
    @staticmethod
    def rho_r(spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag, vol: float) -> float | None:
        """The value's sensitivity per 1.00 of rate; None for a negative spot, strike or vol."""
    @staticmethod
    def rho_r_impl(strike: float, chi: float, tau: float, df_r: float, cdf_d2: float) -> float:
        """rho_r from its precomputed parts: the closing formula alone."""
    @staticmethod
    def rho_q_with_dates(spot: float, strike: float, rate: float, div_yield: float, eval_date: Date, expiry_date: Date, pc_flag: PutCallFlag, vol: float) -> float | None:
        """rho_q with tau the days from eval_date to expiry_date over 365."""
    @staticmethod
    def rho_q(spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag, vol: float) -> float | None:
        """The value's sensitivity per 1.00 of dividend yield; None for a negative spot, strike or vol."""
    @staticmethod
    def rho_q_impl(spot: float, chi: float, tau: float, df_q: float, cdf_d1: float) -> float:
        """rho_q from its precomputed parts: the closing formula alone."""

@final
class Interpolator:
    """A one-dimensional interpolator over strictly increasing nodes, with a rule for points outside them."""
    def __new__(cls, nodes_x: Sequence[float], nodes_y: Sequence[float], interp_type: InterpType, extrap_type: ExtrapType) -> Interpolator:
        """An interpolator through (nodes_x, nodes_y); ValueError for unusable nodes."""
    def get_nodes_x(self) -> list[float]:
        """The abscissae of the nodes, as a new list."""
    def get_nodes_y(self) -> list[float]:
        """The ordinates of the nodes, as a new list."""
    def get_interp_type(self) -> InterpType:
        """How values between nodes are interpolated."""
    def get_extrap_type(self) -> ExtrapType:
        """How values outside the nodes are extrapolated."""
    def interpolate(self, x: float) -> float:
        """The interpolated value at x."""

@final
class YieldCurve:
    """A discount curve: a flat continuously compounded rate, or discount factors interpolated between node dates."""
    @staticmethod
    def create_flat(curve_date: Date, dc: DayCounter, flat_rate: float) -> YieldCurve:
        """A curve with one continuously compounded rate flat_rate from curve_date, in year fractions of dc."""
    @staticmethod
    def create_noded(curve_date: Date, dc: DayCounter, node_dates: Sequence[Date], discount_factors: Sequence[float], interp_type: InterpType) -> YieldCurve:
        """A curve interpolating discount_factors at node_dates (the first the curve date, with 1.0)."""
    def get_curve_date(self) -> Date:
        """The curve's date, where the discount factor is 1.0."""
    def get_dc(self) -> DayCounter:
        """The day counter of the curve's year fractions."""
    def get_df(self, date: Date) -> float:
        """The discount factor from the curve date to date."""
    def get_fwd_df(self, start_date: Date, end_date: Date) -> float:
        """The discount factor from start_date to end_date."""
    def get_overnight_rate(self, date: Date) -> float:
        """The simple rate from date to the next day, on the curve's day-count basis."""
    def get_fwd_rate(self, start_date: Date, end_date: Date) -> float:
        """The simple rate from start_date to end_date, on the curve's day-count basis."""

@final
class BusDayAdj:
    """How a date that is not a business day moves: Unadjusted, Preceding, Following or ModFollowing."""
    Unadjusted: ClassVar[BusDayAdj]
    Preceding: ClassVar[BusDayAdj]
    Following: ClassVar[BusDayAdj]
    ModFollowing: ClassVar[BusDayAdj]
    def __int__(self) -> int:
        """The variant's integer value."""
    def __eq__(self, other: object, /) -> bool:
        """Whether other is the same variant or its integer value."""
    def __ne__(self, other: object, /) -> bool:
        """Whether other is neither the same variant nor its integer value."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class ExtrapType:
    """How an interpolator continues outside its nodes: Auto (the end segment), Flat or Disabled (NaN)."""
    Auto: ClassVar[ExtrapType]
    Flat: ClassVar[ExtrapType]
    Disabled: ClassVar[ExtrapType]
    def __int__(self) -> int:
        """The variant's integer value."""
    def __eq__(self, other: object, /) -> bool:
        """Whether other is the same variant or its integer value."""
    def __ne__(self, other: object, /) -> bool:
        """Whether other is neither the same variant nor its integer value."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class InterpType:
    """How an interpolator fills between nodes: Linear, Geometric (log-linear), CubicSpline or LogCubicSpline."""
    Linear: ClassVar[InterpType]
    Geometric: ClassVar[InterpType]
    CubicSpline: ClassVar[InterpType]
    LogCubicSpline: ClassVar[InterpType]
    def __int__(self) -> int:
        """The variant's integer value."""
    def __eq__(self, other: object, /) -> bool:
        """Whether other is the same variant or its integer value."""
    def __ne__(self, other: object, /) -> bool:
        """Whether other is neither the same variant nor its integer value."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class StubType:
    """Where a schedule's irregular period goes: FrontShort, FrontLong, BackShort, BackLong or NoStub."""
    FrontShort: ClassVar[StubType]
    FrontLong: ClassVar[StubType]
    BackShort: ClassVar[StubType]
    BackLong: ClassVar[StubType]
    NoStub: ClassVar[StubType]
    def __int__(self) -> int:
        """The variant's integer value."""
    def __eq__(self, other: object, /) -> bool:
        """Whether other is the same variant or its integer value."""
    def __ne__(self, other: object, /) -> bool:
        """Whether other is neither the same variant nor its integer value."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class TenorUnit:
    """A tenor's unit: D (days), B (business days), W (weeks), M (months) or Y (years)."""
    D: ClassVar[TenorUnit]
    B: ClassVar[TenorUnit]
    W: ClassVar[TenorUnit]
    M: ClassVar[TenorUnit]
    Y: ClassVar[TenorUnit]
    def __int__(self) -> int:
        """The variant's integer value."""
    def __eq__(self, other: object, /) -> bool:
        """Whether other is the same variant or its integer value."""
    def __ne__(self, other: object, /) -> bool:
        """Whether other is neither the same variant nor its integer value."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class PutCallFlag:
    """An option's kind: Put (0) or Call (1)."""
    Put: ClassVar[PutCallFlag]
    Call: ClassVar[PutCallFlag]
    def __int__(self) -> int:
        """The variant's integer value."""
    def __eq__(self, other: object, /) -> bool:
        """Whether other is the same variant or its integer value."""
    def __ne__(self, other: object, /) -> bool:
        """Whether other is neither the same variant nor its integer value."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class PayerReceiverFlag:
    """A swap side: Payer or Receiver."""
    Payer: ClassVar[PayerReceiverFlag]
    Receiver: ClassVar[PayerReceiverFlag]
    def __int__(self) -> int:
        """The variant's integer value."""
    def __eq__(self, other: object, /) -> bool:
        """Whether other is the same variant or its integer value."""
    def __ne__(self, other: object, /) -> bool:
        """Whether other is neither the same variant nor its integer value."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Weekday:
    """A day of the week, Monday (0) to Sunday (6)."""
    Monday: ClassVar[Weekday]
    Tuesday: ClassVar[Weekday]
    Wednesday: ClassVar[Weekday]
    Thursday: ClassVar[Weekday]
    Friday: ClassVar[Weekday]
    Saturday: ClassVar[Weekday]
    Sunday: ClassVar[Weekday]
    def __int__(self) -> int:
        """The variant's integer value."""
    def __eq__(self, other: object, /) -> bool:
        """Whether other is the same variant or its integer value."""
    def __ne__(self, other: object, /) -> bool:
        """Whether other is neither the same variant nor its integer value."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
