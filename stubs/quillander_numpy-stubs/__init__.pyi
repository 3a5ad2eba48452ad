# Type information for the quillander_numpy extension module: NumPy ufuncs
# whose every element is the quillander scalar call's result.
import datetime
from typing import Any, Generic, Iterable, Literal, NamedTuple, Sequence, SupportsIndex, TypeAlias, TypeVar, final, overload

import numpy as np
from numpy.typing import ArrayLike

from quillander import (
    BusDayAdj,
    Calendar,
    Date,
    DayCounter,
    Interpolator,
    InterpType,
    PayerReceiverFlag,
    PutCallFlag,
    StubType,
    Tenor,
    YieldCurve,
)

__version__: str
__all__ = [
    "__version__",
    "set_num_threads",
    "get_num_threads",
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
    "Metrics",
    "get_metrics_ufunc",
    "get_metrics_fd_ufunc",
    "get_metrics",
    "get_metrics_fd",
    "npv",
    "npv_impl",
    "delta",
    "delta_impl",
    "gamma",
    "gamma_impl",
    "vega",
    "vega_impl",
    "theta",
    "theta_impl",
    "rho_r",
    "rho_r_impl",
    "rho_q",
    "rho_q_impl",
    "to_int",
    "from_int",
    "to_datetime64",
    "to_dates",
    "weekday",
    "add_tenor",
    "is_business_day",
    "is_weekend",
    "get_dcf",
    "get_dcf_act365",
    "get_dcf_act360",
    "get_dcf_30360",
    "interpolate",
    "get_df",
    "get_fwd_df",
    "get_overnight_rate",
    "get_fwd_rate",
    "npv_with_dates",
    "delta_with_dates",
    "gamma_with_dates",
    "vega_with_dates",
    "theta_with_dates",
    "rho_r_with_dates",
    "rho_q_with_dates",
    "get_metrics_with_dates",
    "get_metrics_fd_with_dates",
    "implied_vol_ufunc",
    "implied_vol",
    "adjust",
    "schedule",
    "BusinessCalendar",
    "calendar",
    "add_business_days",
    "business_days_between",
    "year_fraction",
    "SwapConventions",
    "swap_npv",
    "swap_par_rate",
    "swap_annuity",
    "swap_cashflows",
    "swap_node_deltas",
    "bootstrap",
    "CurveDescription",
]

_T = TypeVar("_T")
# A real number NumPy casts to float64, and a put/call flag as the loops take it.
_Real: TypeAlias = float | np.floating[Any] | np.integer[Any] | np.bool_
_Flag: TypeAlias = PutCallFlag | int | np.integer[Any] | np.bool_
_Flags: TypeAlias = PutCallFlag | ArrayLike

def set_num_threads(n: SupportsIndex) -> int: ...
def get_num_threads() -> int: ...

# Functions of one real variable: (x) -> float64.
exp: np.ufunc
ln: np.ufunc
log10: np.ufunc
log2: np.ufunc
pow2: np.ufunc
sqrt: np.ufunc
sin: np.ufunc
cos: np.ufunc
tan: np.ufunc
erf: np.ufunc
erfc: np.ufunc
erf_inv: np.ufunc
erfc_inv: np.ufunc

# (spot, strike, rate, div_yield, tau, pc_flag, vol) -> float64, NaN where the
# scalar call gives None.
npv: np.ufunc
delta: np.ufunc
gamma: np.ufunc
vega: np.ufunc
theta: np.ufunc
rho_r: np.ufunc
rho_q: np.ufunc
# The closing formulas, over the scalar _impl methods' parameters.
npv_impl: np.ufunc
delta_impl: np.ufunc
gamma_impl: np.ufunc
vega_impl: np.ufunc
theta_impl: np.ufunc
rho_r_impl: np.ufunc
rho_q_impl: np.ufunc
# (spot, strike, rate, div_yield, tau, pc_flag, vol) -> seven float64 outputs.
get_metrics_ufunc: np.ufunc
get_metrics_fd_ufunc: np.ufunc

class Metrics(NamedTuple, Generic[_T]):
    npv: _T
    delta: _T
    gamma: _T
    vega: _T
    theta: _T
    rho_r: _T
    rho_q: _T

@overload
def get_metrics(
    spot: _Real, strike: _Real, rate: _Real, div_yield: _Real, tau: _Real, pc_flag: _Flag, vol: _Real, /,
    **ufunc_kwargs: Any,
) -> Metrics[np.float64]: ...
@overload
def get_metrics(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, tau: ArrayLike, pc_flag: _Flags,
    vol: ArrayLike, /, **ufunc_kwargs: Any,
) -> Metrics[Any]: ...
@overload
def get_metrics_fd(
    spot: _Real, strike: _Real, rate: _Real, div_yield: _Real, tau: _Real, pc_flag: _Flag, vol: _Real, /,
    **ufunc_kwargs: Any,
) -> Metrics[np.float64]: ...
@overload
def get_metrics_fd(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, tau: ArrayLike, pc_flag: _Flags,
    vol: ArrayLike, /, **ufunc_kwargs: Any,
) -> Metrics[Any]: ...

# One date: a Date, a datetime.date (datetime and pandas.Timestamp included),
# a datetime64 of any unit, or None / NaT. Many dates: any array-like of them,
# datetime64 arrays and pandas datetime columns included.
_OneDate: TypeAlias = Date | datetime.date | np.datetime64 | None
_ManyDates: TypeAlias = ArrayLike | Sequence[Any]  # mixed sequences of date-likes too
_Dates: TypeAlias = _OneDate | _ManyDates
_Days: TypeAlias = np.ndarray[Any, np.dtype[np.datetime64]]
_Floats: TypeAlias = np.ndarray[Any, np.dtype[np.float64]]

# Conversions. One date in gives a NumPy scalar (or a Date, or None) out.
@overload
def to_int(dates: _OneDate) -> np.int64: ...  # type: ignore[overload-overlap]
@overload
def to_int(dates: _ManyDates) -> np.ndarray[Any, np.dtype[np.int64]]: ...
@overload
def from_int(serials: int | np.integer[Any]) -> np.datetime64: ...  # type: ignore[overload-overlap]
@overload
def from_int(serials: ArrayLike) -> _Days: ...
@overload
def to_datetime64(dates: _OneDate) -> np.datetime64: ...  # type: ignore[overload-overlap]
@overload
def to_datetime64(dates: _ManyDates) -> _Days: ...
@overload
def to_dates(dates: _OneDate) -> Date | None: ...  # type: ignore[overload-overlap]
@overload
def to_dates(dates: _ManyDates) -> list[Any]: ...  # nested like the input, None for NaT
@overload
def weekday(dates: _OneDate) -> np.int64: ...  # type: ignore[overload-overlap]
@overload
def weekday(dates: _ManyDates) -> np.ndarray[Any, np.dtype[np.int64]]: ...

@overload
def add_tenor(dates: _OneDate, t: str | Tenor) -> np.datetime64: ...
@overload
def add_tenor(dates: _Dates, t: str | Tenor | ArrayLike) -> Any: ...
@overload
def is_business_day(dates: _OneDate, cal: _Calendar, holidays: _HolidayList = None) -> np.bool_: ...  # type: ignore[overload-overlap]
@overload
def is_business_day(dates: _ManyDates, cal: _Calendar, holidays: _HolidayList = None) -> np.ndarray[Any, np.dtype[np.bool_]]: ...
@overload
def is_weekend(dates: _OneDate, cal: _Calendar) -> np.bool_: ...  # type: ignore[overload-overlap]
@overload
def is_weekend(dates: _ManyDates, cal: _Calendar) -> np.ndarray[Any, np.dtype[np.bool_]]: ...

# Two date arguments broadcast together; the result is np.float64 when both
# are single dates, else an array of the broadcast shape.
def get_dcf(dc: DayCounter, start: _Dates, end: _Dates) -> Any: ...
def get_dcf_act365(dc: DayCounter, start: _Dates, end: _Dates) -> Any: ...
def get_dcf_act360(dc: DayCounter, start: _Dates, end: _Dates) -> Any: ...
def get_dcf_30360(dc: DayCounter, start: _Dates, end: _Dates) -> Any: ...

@overload
def interpolate(interp: Interpolator, x: _Real) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def interpolate(interp: Interpolator, x: ArrayLike) -> _Floats: ...

@overload
def get_df(curve: YieldCurve, dates: _OneDate) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def get_df(curve: YieldCurve, dates: _ManyDates) -> _Floats: ...
@overload
def get_overnight_rate(curve: YieldCurve, dates: _OneDate) -> np.float64: ...  # type: ignore[overload-overlap]
@overload
def get_overnight_rate(curve: YieldCurve, dates: _ManyDates) -> _Floats: ...
def get_fwd_df(curve: YieldCurve, start: _Dates, end: _Dates) -> Any: ...
def get_fwd_rate(curve: YieldCurve, start: _Dates, end: _Dates) -> Any: ...

# The dated Black-Scholes twins: tau from the dates as the scalar methods take
# it, then the plain twins; NaN for NaT dates.
def npv_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike,
) -> Any: ...
def delta_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike,
) -> Any: ...
def gamma_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike,
) -> Any: ...
def vega_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike,
) -> Any: ...
def theta_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike,
) -> Any: ...
def rho_r_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike,
) -> Any: ...
def rho_q_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike,
) -> Any: ...
def get_metrics_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike,
) -> Metrics[Any]: ...
def get_metrics_fd_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike,
) -> Metrics[Any]: ...

# (price, spot, strike, rate, div_yield, tau, pc_flag) -> float64, NaN where no
# vol gives the price.
implied_vol_ufunc: np.ufunc

# Plain Python numbers (float or int, the flag a PutCallFlag or 0/1) give a
# float, computed without NumPy; NumPy scalars give np.float64; arrays, Dask,
# pandas and xarray objects go through implied_vol_ufunc with its keywords.
@overload
def implied_vol(
    price: float, spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag | int, /,
) -> float: ...
@overload
def implied_vol(
    price: _Real, spot: _Real, strike: _Real, rate: _Real, div_yield: _Real, tau: _Real, pc_flag: _Flag, /,
    **ufunc_kwargs: Any,
) -> float | np.float64: ...
@overload
def implied_vol(
    price: ArrayLike, spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, tau: ArrayLike,
    pc_flag: _Flags, /, **ufunc_kwargs: Any,
) -> Any: ...


# Each date moved to a business day of `cal` that is not a holiday; one date
# in gives one np.datetime64 out, an array a datetime64[D] array of its shape.
@overload
def adjust(dates: _OneDate, cal: _Calendar, bus_day_adj: BusDayAdj, holidays: _HolidayList = None) -> np.datetime64: ...
@overload
def adjust(dates: _ManyDates, cal: _Calendar, bus_day_adj: BusDayAdj, holidays: _HolidayList = None) -> Any: ...

# The schedule's dates, strictly increasing, as a 1-d datetime64[D] array.
def schedule(
    start: _OneDate,
    end: _OneDate,
    tenor: str | Tenor,
    cal: _Calendar,
    bus_day_adj: BusDayAdj,
    stub_type: StubType,
    end_of_month: bool = False,
    holidays: _HolidayList = None,
) -> np.ndarray[tuple[int], np.dtype[np.datetime64]]: ...

# ---------------------------------------------------------------- market conventions

# One-off holidays: any iterable of date-likes or ISO strings (a holidays
# package object gives its dates); NaT and repeats are ignored.
_HolidayList: TypeAlias = Iterable[Any] | None

@final
class BusinessCalendar:
    """Which days are business days: a weekmask, holidays, worked weekend days and a covered range."""
    def __new__(cls, weekmask: str | Sequence[bool | int] = "1111100", holidays: _HolidayList = None) -> BusinessCalendar: ...
    @property
    def name(self) -> str | None:
        """The market's name (joins: "XNYS | XECB"), None for a calendar made from holidays."""
    @property
    def weekmask(self) -> str:
        """The business weekdays, Monday first: "1111100"."""
    @property
    def holidays(self) -> np.ndarray[tuple[int], np.dtype[np.datetime64]]:
        """The holidays on business weekdays, sorted, as datetime64[D] (a copy)."""
    @property
    def extra_days(self) -> np.ndarray[tuple[int], np.dtype[np.datetime64]]:
        """The business days on weekend days (a market's Saturday sessions), as datetime64[D]."""
    @property
    def range(self) -> tuple[np.datetime64, np.datetime64] | None:
        """The first and last days the calendar covers; None when it covers every date."""
    def to_busdaycalendar(self) -> np.busdaycalendar:
        """The numpy.busdaycalendar of the same days (ValueError if it has business days on weekends)."""
    def __or__(self, other: _Calendar, /) -> BusinessCalendar:
        """The join: a holiday of either calendar is one of the join; it covers the days both cover."""
    def __ror__(self, other: _Calendar, /) -> BusinessCalendar:
        """The join, with a Calendar or numpy.busdaycalendar on the left."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles the calendar's days, so it travels to Dask workers."""

# Every `cal` parameter takes any of these, with the same answers for the same days.
_Calendar: TypeAlias = Calendar | BusinessCalendar | np.busdaycalendar

def calendar(name: str, years: int | Iterable[int] | None = None) -> BusinessCalendar:
    """A market's calendar from the holidays package ("XNYS", "XECB", ...), made once per process."""

# T+n: each date moved n business days (n broadcast with the dates), NaT kept.
@overload
def add_business_days(dates: _OneDate, n: int | np.integer[Any], cal: _Calendar, holidays: _HolidayList = None) -> np.datetime64:
    """Each date moved n business days of cal, as QuantLib's Calendar.advance in days."""
@overload
def add_business_days(dates: _Dates, n: ArrayLike, cal: _Calendar, holidays: _HolidayList = None) -> Any:
    """Each date moved n business days of cal, as QuantLib's Calendar.advance in days."""
@overload
def business_days_between(start: _OneDate, end: _OneDate, cal: _Calendar, holidays: _HolidayList = None) -> np.int64:
    """The business days from start to end, as numpy.busday_count counts them."""
@overload
def business_days_between(start: _Dates, end: _Dates, cal: _Calendar, holidays: _HolidayList = None) -> Any:
    """The business days from start to end, as numpy.busday_count counts them."""
@overload
def year_fraction(start: _OneDate, end: _OneDate, day_count: str | DayCounter, maturity: _OneDate = None) -> np.float64:
    """The year fraction under a market day count ("30/360", "ACT/ACT ISDA", ...), NaN for NaT."""
@overload
def year_fraction(start: _Dates, end: _Dates, day_count: str | DayCounter, maturity: _Dates = None) -> Any:
    """The year fraction under a market day count ("30/360", "ACT/ACT ISDA", ...), NaN for NaT."""

# ---------------------------------------------------------------- swaps and curves from quotes

# A swap's end: an unadjusted date, or a tenor from its start ("10Y").
_Maturity: TypeAlias = _OneDate | str | Tenor
_Maturities: TypeAlias = _Maturity | ArrayLike | Sequence[Any]
_PayRec: TypeAlias = PayerReceiverFlag | int | np.integer[Any]

@final
class SwapConventions:
    """How a market's swaps are made: legs' tenors and day counts, calendar, rolls, stub, lags."""
    def __new__(
        cls,
        fixed_tenor: str | Tenor = "1Y",
        fixed_day_count: str | DayCounter = "ACT/360",
        float_tenor: str | Tenor = "1Y",
        float_day_count: str | DayCounter = "ACT/360",
        cal: _Calendar | None = None,
        bus_day_adj: BusDayAdj = ...,
        stub_type: StubType = ...,
        end_of_month: bool = False,
        spot_lag: int = 2,
        payment_lag: int = 0,
    ) -> SwapConventions:
        """Conventions from their parts (cal None: Saturday and Sunday weekends, no holidays)."""
    @staticmethod
    def preset(name: str) -> SwapConventions:
        """A market's overnight-index swaps: "USD SOFR", "EUR ESTR" or "GBP SONIA"."""
    @property
    def fixed_tenor(self) -> str:
        """The fixed leg's coupon tenor, as text ("1Y")."""
    @property
    def fixed_day_count(self) -> str:
        """The fixed leg's day count ("ACT/360")."""
    @property
    def float_tenor(self) -> str:
        """The floating leg's coupon tenor, as text."""
    @property
    def float_day_count(self) -> str:
        """The floating leg's day count (also the deposits')."""
    @property
    def cal(self) -> BusinessCalendar:
        """The calendar of every schedule, payment and spot date."""
    @property
    def bus_day_adj(self) -> BusDayAdj:
        """How schedule dates are moved to business days."""
    @property
    def stub_type(self) -> StubType:
        """Where the odd period of a schedule goes."""
    @property
    def end_of_month(self) -> bool:
        """Whether a month-end start keeps every date on a month end."""
    @property
    def spot_lag(self) -> int:
        """Business days from the trade date to the start (spot) date."""
    @property
    def payment_lag(self) -> int:
        """Business days from a period's end to its payment."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles the conventions (the calendar with them)."""

@overload
def swap_npv(conv: SwapConventions, curve: YieldCurve, start: _OneDate, maturity: _Maturity, fixed_rate: _Real,
             pay_rec: _PayRec, notional: _Real = 1.0, forecast_curve: YieldCurve | None = None) -> np.float64:
    """A swap's value on the curve date (a payer pays fixed); NaN where no value exists."""
@overload
def swap_npv(conv: SwapConventions, curve: YieldCurve, start: _Dates, maturity: _Maturities, fixed_rate: ArrayLike,
             pay_rec: _PayRec | ArrayLike, notional: ArrayLike = 1.0, forecast_curve: YieldCurve | None = None) -> Any:
    """Each swap's value on the curve date (a payer pays fixed); NaN where no value exists."""
@overload
def swap_par_rate(conv: SwapConventions, curve: YieldCurve, start: _OneDate, maturity: _Maturity,
                  forecast_curve: YieldCurve | None = None) -> np.float64:
    """The fixed rate that makes a swap worth nothing."""
@overload
def swap_par_rate(conv: SwapConventions, curve: YieldCurve, start: _Dates, maturity: _Maturities,
                  forecast_curve: YieldCurve | None = None) -> Any:
    """The fixed rate that makes each swap worth nothing."""
@overload
def swap_annuity(conv: SwapConventions, curve: YieldCurve, start: _OneDate, maturity: _Maturity) -> np.float64:
    """A swap's fixed-leg annuity per unit notional."""
@overload
def swap_annuity(conv: SwapConventions, curve: YieldCurve, start: _Dates, maturity: _Maturities) -> Any:
    """Each swap's fixed-leg annuity per unit notional."""
def swap_cashflows(conv: SwapConventions, start: _Dates, maturity: _Maturities, fixed_rate: ArrayLike,
                   pay_rec: _PayRec | ArrayLike, notional: ArrayLike = 1.0, curve: YieldCurve | None = None,
                   forecast_curve: YieldCurve | None = None) -> dict[str, np.ndarray[Any, Any]]:
    """Every coupon of the swaps as a dict of equal-length arrays (pandas.DataFrame takes it)."""
def swap_node_deltas(conv: SwapConventions, curve: YieldCurve, start: _Dates, maturity: _Maturities,
                     fixed_rate: ArrayLike, pay_rec: _PayRec | ArrayLike, notional: ArrayLike = 1.0) -> _Floats:
    """Each swap's NPV derivatives by the curve's node discount factors (one more axis)."""

# One curve from a row of quotes, or a list of curves (a failed scenario's ValueError in its place):
# a list of numbers gives a curve, a list of lists a list, an array either by its dimensions.
_Tenors: TypeAlias = Sequence[str | Tenor] | ArrayLike
_Deposits: TypeAlias = tuple[Sequence[str | Tenor], ArrayLike] | None
_Scenarios: TypeAlias = list[YieldCurve | ValueError]
@overload
def bootstrap(conv: SwapConventions, curve_date: _OneDate, tenors: _Tenors, par_rates: Sequence[float],
              deposits: _Deposits = None, day_counter: DayCounter = ..., interp_type: InterpType = ...,
              jacobian: Literal[False] = False) -> YieldCurve:
    """The noded curve pricing every quote back, a node at each instrument's last payment."""
@overload
def bootstrap(conv: SwapConventions, curve_date: _OneDate, tenors: _Tenors, par_rates: Sequence[Sequence[float]],
              deposits: _Deposits = None, day_counter: DayCounter = ..., interp_type: InterpType = ...,
              jacobian: Literal[False] = False) -> _Scenarios:
    """A curve for each row of quotes (scenarios), a failed row's ValueError in its place."""
@overload
def bootstrap(conv: SwapConventions, curve_date: _OneDate, tenors: _Tenors, par_rates: ArrayLike,
              deposits: _Deposits = None, day_counter: DayCounter = ..., interp_type: InterpType = ...,
              jacobian: Literal[False] = False) -> Any:
    """A curve for a row of quotes, or a list of curves for rows of them."""
@overload
def bootstrap(conv: SwapConventions, curve_date: _OneDate, tenors: _Tenors, par_rates: Sequence[float],
              deposits: _Deposits = None, day_counter: DayCounter = ..., interp_type: InterpType = ...,
              *, jacobian: Literal[True]) -> tuple[YieldCurve, _Floats]:
    """The curve and the Jacobian of its node discount factors by the quotes."""
@overload
def bootstrap(conv: SwapConventions, curve_date: _OneDate, tenors: _Tenors, par_rates: Sequence[Sequence[float]],
              deposits: _Deposits = None, day_counter: DayCounter = ..., interp_type: InterpType = ...,
              *, jacobian: Literal[True]) -> tuple[_Scenarios, _Floats]:
    """The scenarios' curves and their Jacobians, one a scenario."""
@overload
def bootstrap(conv: SwapConventions, curve_date: _OneDate, tenors: _Tenors, par_rates: ArrayLike,
              deposits: _Deposits = None, day_counter: DayCounter = ..., interp_type: InterpType = ...,
              *, jacobian: Literal[True]) -> tuple[Any, _Floats]:
    """The curve(s) and the Jacobian(s) of the node discount factors by the quotes."""

@final
class CurveDescription:
    """A YieldCurve as plain, picklable data; to_curve() gives the very same curve back."""
    def __new__(cls, curve: YieldCurve) -> CurveDescription:
        """The description of a flat or noded curve."""
    @property
    def kind(self) -> str:
        """"flat" or "noded"."""
    @property
    def curve_date(self) -> np.datetime64:
        """The curve's date."""
    @property
    def day_counter(self) -> DayCounter:
        """The day counter the curve measures time with."""
    @property
    def flat_rate(self) -> float | None:
        """A flat curve's continuously compounded rate; None for a noded curve."""
    @property
    def node_dates(self) -> _Days | None:
        """A noded curve's node dates (the curve date first); None for a flat curve."""
    @property
    def discount_factors(self) -> _Floats | None:
        """A noded curve's node discount factors; None for a flat curve."""
    @property
    def interp_type(self) -> InterpType | None:
        """A noded curve's interpolation; None for a flat curve."""
    def to_curve(self) -> YieldCurve:
        """The YieldCurve described, bit for bit the same discount factors."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles the description's plain values."""
