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
    "BondConventions",
    "bond_cashflows",
    "bond_accrued",
    "bond_dirty_price",
    "bond_clean_price",
    "bond_ytm",
    "bond_duration",
    "bond_convexity",
    "bond_dv01",
    "bond_dirty_price_from_curve",
    "bond_zspread",
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

def set_num_threads(n: SupportsIndex) -> int:
    """Use at most n threads per loop, the calling one included (1 to 256, or the machine's cores if more); returns the previous setting."""
def get_num_threads() -> int:
    """The number of threads a loop may use, the calling one included (the machine's cores by default)."""

# Functions of one real variable: (x) -> float64.
exp: np.ufunc
"""quillander.exp of each element."""
ln: np.ufunc
"""quillander.ln of each element."""
log10: np.ufunc
"""quillander.log10 of each element."""
log2: np.ufunc
"""quillander.log2 of each element."""
pow2: np.ufunc
"""quillander.pow2 (the square) of each element."""
sqrt: np.ufunc
"""quillander.sqrt of each element."""
sin: np.ufunc
"""quillander.sin of each element."""
cos: np.ufunc
"""quillander.cos of each element."""
tan: np.ufunc
"""quillander.tan of each element."""
erf: np.ufunc
"""quillander.erf of each element."""
erfc: np.ufunc
"""quillander.erfc of each element."""
erf_inv: np.ufunc
"""quillander.erf_inv of each element."""
erfc_inv: np.ufunc
"""quillander.erfc_inv of each element."""

# (spot, strike, rate, div_yield, tau, pc_flag, vol) -> float64, NaN where the
# scalar call gives None.
npv: np.ufunc
"""BlackScholes.npv of each element; NaN where the scalar call gives None."""
delta: np.ufunc
"""BlackScholes.delta of each element; NaN where the scalar call gives None."""
gamma: np.ufunc
"""BlackScholes.gamma of each element; NaN where the scalar call gives None."""
vega: np.ufunc
"""BlackScholes.vega of each element; NaN where the scalar call gives None."""
theta: np.ufunc
"""BlackScholes.theta of each element; NaN where the scalar call gives None."""
rho_r: np.ufunc
"""BlackScholes.rho_r of each element; NaN where the scalar call gives None."""
rho_q: np.ufunc
"""BlackScholes.rho_q of each element; NaN where the scalar call gives None."""
# The closing formulas, over the scalar _impl methods' parameters.
npv_impl: np.ufunc
"""BlackScholes.npv_impl of each element."""
delta_impl: np.ufunc
"""BlackScholes.delta_impl of each element."""
gamma_impl: np.ufunc
"""BlackScholes.gamma_impl of each element."""
vega_impl: np.ufunc
"""BlackScholes.vega_impl of each element."""
theta_impl: np.ufunc
"""BlackScholes.theta_impl of each element."""
rho_r_impl: np.ufunc
"""BlackScholes.rho_r_impl of each element."""
rho_q_impl: np.ufunc
"""BlackScholes.rho_q_impl of each element."""
# (spot, strike, rate, div_yield, tau, pc_flag, vol) -> seven float64 outputs.
get_metrics_ufunc: np.ufunc
"""BlackScholes.get_metrics of each element, as a plain tuple of seven arrays."""
get_metrics_fd_ufunc: np.ufunc
"""BlackScholes.get_metrics_fd of each element, as a plain tuple of seven arrays."""

class Metrics(NamedTuple, Generic[_T]):
    """The seven metrics of get_metrics and its kin, one array (or number) per field."""
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
) -> Metrics[np.float64]:
    """BlackScholes.get_metrics of each element, as a Metrics of seven arrays; NaN where the scalar call gives None."""
@overload
def get_metrics(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, tau: ArrayLike, pc_flag: _Flags,
    vol: ArrayLike, /, **ufunc_kwargs: Any,
) -> Metrics[Any]:
    """BlackScholes.get_metrics of each element, as a Metrics of seven arrays; NaN where the scalar call gives None."""
@overload
def get_metrics_fd(
    spot: _Real, strike: _Real, rate: _Real, div_yield: _Real, tau: _Real, pc_flag: _Flag, vol: _Real, /,
    **ufunc_kwargs: Any,
) -> Metrics[np.float64]:
    """BlackScholes.get_metrics_fd of each element, as a Metrics of seven arrays; NaN where the scalar call gives None."""
@overload
def get_metrics_fd(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, tau: ArrayLike, pc_flag: _Flags,
    vol: ArrayLike, /, **ufunc_kwargs: Any,
) -> Metrics[Any]:
    """BlackScholes.get_metrics_fd of each element, as a Metrics of seven arrays; NaN where the scalar call gives None."""

# One date: a Date, a datetime.date (datetime and pandas.Timestamp included),
# a datetime64 of any unit, or None / NaT. Many dates: any array-like of them,
# datetime64 arrays and pandas datetime columns included.
_OneDate: TypeAlias = Date | datetime.date | np.datetime64 | None
_ManyDates: TypeAlias = ArrayLike | Sequence[Any]  # mixed sequences of date-likes too
_Dates: TypeAlias = _OneDate | _ManyDates
_Days: TypeAlias = np.ndarray[Any, np.dtype[np.datetime64]]
_Floats: TypeAlias = np.ndarray[Any, np.dtype[np.float64]]

# The twins below are module functions over ufuncs: any argument may be an
# array (pandas, xarray and Dask objects keep their kind), they take the ufunc
# keywords (out=, where=, order=, dtype=, casting=), and one value of each
# argument gives a NumPy scalar.
_Kw: TypeAlias = Any

# Conversions.
@overload
def to_int(dates: _OneDate, **ufunc_kwargs: _Kw) -> np.int64:
    """The serial of each date (Date.to_int) as int64; NaT is refused."""
@overload
def to_int(dates: _ManyDates, **ufunc_kwargs: _Kw) -> Any:
    """The serial of each date (Date.to_int) as int64; NaT is refused."""
@overload
def from_int(serials: int | np.integer[Any], **ufunc_kwargs: _Kw) -> np.datetime64:
    """The date of each serial (1899-12-30 is 0) as datetime64[D]."""
@overload
def from_int(serials: ArrayLike, **ufunc_kwargs: _Kw) -> Any:
    """The date of each serial (1899-12-30 is 0) as datetime64[D]."""
@overload
def to_datetime64(dates: _OneDate, **ufunc_kwargs: _Kw) -> np.datetime64:
    """Each date as datetime64[D] (NaT stays NaT)."""
@overload
def to_datetime64(dates: _ManyDates, **ufunc_kwargs: _Kw) -> Any:
    """Each date as datetime64[D] (NaT stays NaT)."""
@overload
def to_dates(dates: _OneDate) -> Date | None:  # type: ignore[overload-overlap]
    """Each date as a quillander.Date (nested lists like the input, None for NaT)."""
@overload
def to_dates(dates: _ManyDates) -> list[Any]:  # nested like the input, None for NaT
    """Each date as a quillander.Date (nested lists like the input, None for NaT)."""
@overload
def weekday(dates: _OneDate, **ufunc_kwargs: _Kw) -> np.int64:
    """Date.weekday of each date as int64 (Monday 0); NaT is refused."""
@overload
def weekday(dates: _ManyDates, **ufunc_kwargs: _Kw) -> Any:
    """Date.weekday of each date as int64 (Monday 0); NaT is refused."""

@overload
def add_tenor(dates: _OneDate, t: str | Tenor, **ufunc_kwargs: _Kw) -> np.datetime64:
    """Date.add_tenor of each date as datetime64[D]; NaT stays NaT."""
@overload
def add_tenor(dates: _Dates, t: str | Tenor | ArrayLike, **ufunc_kwargs: _Kw) -> Any:
    """Date.add_tenor of each date as datetime64[D]; NaT stays NaT."""
@overload
def is_business_day(dates: _OneDate, cal: _Calendar, holidays: _HolidayList = None) -> np.bool_:  # type: ignore[overload-overlap]
    """Whether each date is a business day of cal, less the one-off holidays; False for NaT."""
@overload
def is_business_day(dates: _ManyDates, cal: _Calendar, holidays: _HolidayList = None) -> np.ndarray[Any, np.dtype[np.bool_]]:
    """Whether each date is a business day of cal, less the one-off holidays; False for NaT."""
@overload
def is_weekend(dates: _OneDate, cal: _Calendar) -> np.bool_:  # type: ignore[overload-overlap]
    """Whether each date's weekday is off in cal's weekmask; False for NaT."""
@overload
def is_weekend(dates: _ManyDates, cal: _Calendar) -> np.ndarray[Any, np.dtype[np.bool_]]:
    """Whether each date's weekday is off in cal's weekmask; False for NaT."""

# A receiver (dc, interp, curve) is one instance or an array of them.
_DayCounters: TypeAlias = DayCounter | ArrayLike
_Curves: TypeAlias = YieldCurve | ArrayLike

def get_dcf(dc: _DayCounters, start: _Dates, end: _Dates, **ufunc_kwargs: _Kw) -> Any:
    """dc.get_dcf of each pair of dates, as float64; NaT gives NaN."""
def get_dcf_act365(dc: _DayCounters, start: _Dates, end: _Dates, **ufunc_kwargs: _Kw) -> Any:
    """dc.get_dcf_act365 of each pair of dates, as float64; NaT gives NaN."""
def get_dcf_act360(dc: _DayCounters, start: _Dates, end: _Dates, **ufunc_kwargs: _Kw) -> Any:
    """dc.get_dcf_act360 of each pair of dates, as float64; NaT gives NaN."""
def get_dcf_30360(dc: _DayCounters, start: _Dates, end: _Dates, **ufunc_kwargs: _Kw) -> Any:
    """dc.get_dcf_30360 of each pair of dates: not implemented, as the scalar method."""

@overload
def interpolate(interp: Interpolator, x: _Real, **ufunc_kwargs: _Kw) -> np.float64:
    """interp.interpolate of each element of x, as float64."""
@overload
def interpolate(interp: Interpolator | ArrayLike, x: ArrayLike, **ufunc_kwargs: _Kw) -> Any:
    """interp.interpolate of each element of x, as float64."""

@overload
def get_df(curve: YieldCurve, dates: _OneDate, **ufunc_kwargs: _Kw) -> np.float64:
    """curve.get_df of each date, as float64; NaT gives NaN."""
@overload
def get_df(curve: _Curves, dates: _ManyDates, **ufunc_kwargs: _Kw) -> Any:
    """curve.get_df of each date, as float64; NaT gives NaN."""
@overload
def get_overnight_rate(curve: YieldCurve, dates: _OneDate, **ufunc_kwargs: _Kw) -> np.float64:
    """curve.get_overnight_rate of each date, as float64; NaT gives NaN."""
@overload
def get_overnight_rate(curve: _Curves, dates: _ManyDates, **ufunc_kwargs: _Kw) -> Any:
    """curve.get_overnight_rate of each date, as float64; NaT gives NaN."""
def get_fwd_df(curve: _Curves, start: _Dates, end: _Dates, **ufunc_kwargs: _Kw) -> Any:
    """curve.get_fwd_df of each pair of dates, as float64; NaT gives NaN."""
def get_fwd_rate(curve: _Curves, start: _Dates, end: _Dates, **ufunc_kwargs: _Kw) -> Any:
    """curve.get_fwd_rate of each pair of dates, as float64; NaT gives NaN."""

# The dated Black-Scholes twins: tau from the dates as the scalar methods take
# it; NaN for NaT dates.
def npv_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike, **ufunc_kwargs: _Kw,
) -> Any:
    """BlackScholes.npv_with_dates of each element, as float64."""
def delta_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike, **ufunc_kwargs: _Kw,
) -> Any:
    """BlackScholes.delta_with_dates of each element, as float64."""
def gamma_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike, **ufunc_kwargs: _Kw,
) -> Any:
    """BlackScholes.gamma_with_dates of each element, as float64."""
def vega_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike, **ufunc_kwargs: _Kw,
) -> Any:
    """BlackScholes.vega_with_dates of each element, as float64."""
def theta_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike, **ufunc_kwargs: _Kw,
) -> Any:
    """BlackScholes.theta_with_dates of each element, as float64."""
def rho_r_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike, **ufunc_kwargs: _Kw,
) -> Any:
    """BlackScholes.rho_r_with_dates of each element, as float64."""
def rho_q_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike, **ufunc_kwargs: _Kw,
) -> Any:
    """BlackScholes.rho_q_with_dates of each element, as float64."""
def get_metrics_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike, **ufunc_kwargs: _Kw,
) -> Metrics[Any]:
    """BlackScholes.get_metrics_with_dates for arrays: a Metrics of seven arrays."""
def get_metrics_fd_with_dates(
    spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, eval_date: _Dates,
    expiry_date: _Dates, pc_flag: _Flags, vol: ArrayLike, **ufunc_kwargs: _Kw,
) -> Metrics[Any]:
    """BlackScholes.get_metrics_fd_with_dates for arrays: a Metrics of seven arrays."""

# (price, spot, strike, rate, div_yield, tau, pc_flag) -> float64, NaN where no
# vol gives the price.
implied_vol_ufunc: np.ufunc
"""implied_vol of each element: the vol at which BlackScholes.npv gives price; NaN where none does."""

# Plain Python numbers (float or int, the flag a PutCallFlag or 0/1) give a
# float, computed without NumPy; NumPy scalars give np.float64; arrays, Dask,
# pandas and xarray objects go through implied_vol_ufunc with its keywords.
@overload
def implied_vol(
    price: float, spot: float, strike: float, rate: float, div_yield: float, tau: float, pc_flag: PutCallFlag | int, /,
) -> float:
    """The vol at which BlackScholes.npv gives price (NaN where none does); a float for Python numbers."""
@overload
def implied_vol(
    price: _Real, spot: _Real, strike: _Real, rate: _Real, div_yield: _Real, tau: _Real, pc_flag: _Flag, /,
    **ufunc_kwargs: Any,
) -> float | np.float64:
    """The vol at which BlackScholes.npv gives price (NaN where none does); a float for Python numbers."""
@overload
def implied_vol(
    price: ArrayLike, spot: ArrayLike, strike: ArrayLike, rate: ArrayLike, div_yield: ArrayLike, tau: ArrayLike,
    pc_flag: _Flags, /, **ufunc_kwargs: Any,
) -> Any:
    """The vol at which BlackScholes.npv gives price (NaN where none does); a float for Python numbers."""


# Each date moved to a business day of `cal` that is not a holiday; one date
# in gives one np.datetime64 out, an array a datetime64[D] array of its shape.
@overload
def adjust(dates: _OneDate, cal: _Calendar, bus_day_adj: BusDayAdj, holidays: _HolidayList = None) -> np.datetime64:
    """Each date moved to a business day of cal, not in holidays, by bus_day_adj, as datetime64[D]."""
@overload
def adjust(dates: _ManyDates, cal: _Calendar, bus_day_adj: BusDayAdj, holidays: _HolidayList = None) -> Any:
    """Each date moved to a business day of cal, not in holidays, by bus_day_adj, as datetime64[D]."""

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
) -> np.ndarray[tuple[int], np.dtype[np.datetime64]]:
    """The schedule's dates from start to end, both included and adjusted, as a 1-d datetime64[D] array."""

# ---------------------------------------------------------------- market conventions

# One-off holidays: any iterable of date-likes or ISO strings (a holidays
# package object gives its dates); NaT and repeats are ignored.
_HolidayList: TypeAlias = Iterable[Any] | None

@final
class BusinessCalendar:
    """Which days are business days: a weekmask, holidays, worked weekend days and a covered range."""
    def __new__(cls, weekmask: str | Sequence[bool | int] = "1111100", holidays: _HolidayList = None) -> BusinessCalendar:
        """A calendar of numpy.busdaycalendar's arguments: the business weekdays and holidays."""
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
# ---------------------------------------------------------------- fixed-rate bonds

@final
class BondConventions:
    """The conventions a book of fixed-rate bonds shares; immutable, equal by value, picklable."""
    def __new__(
        cls,
        tenor: str | Tenor = "6M",
        day_count: str | DayCounter = "ACT/ACT ICMA",
        cal: Calendar | BusinessCalendar | np.busdaycalendar | None = None,
        bus_day_adj: BusDayAdj = ...,
        pay_adj: BusDayAdj = ...,
        stub_type: StubType = ...,
        end_of_month: bool = False,
        settlement_days: int = 0,
        ex_coupon_days: int = 0,
        face: float = 100.0,
    ) -> BondConventions:
        """Conventions from their parts; ValueError naming the part that is wrong."""
    @staticmethod
    def preset(name: str) -> BondConventions:
        """A market's government bonds: "US Treasury", "German Bund" or "UK Gilt"."""
    @property
    def tenor(self) -> str:
        """The coupon period, as text ("6M")."""
    @property
    def day_count(self) -> str:
        """The accrual day count's name ("ACT/ACT ICMA")."""
    @property
    def cal(self) -> BusinessCalendar:
        """The business days (Saturday and Sunday weekends when made without a calendar)."""
    @property
    def bus_day_adj(self) -> BusDayAdj:
        """How accrual dates move onto business days."""
    @property
    def pay_adj(self) -> BusDayAdj:
        """How payment dates move onto business days."""
    @property
    def stub_type(self) -> StubType:
        """Where the irregular period goes."""
    @property
    def end_of_month(self) -> bool:
        """Whether a month-end anchor keeps every coupon date on a month end."""
    @property
    def settlement_days(self) -> int:
        """Business days from trade to settlement."""
    @property
    def ex_coupon_days(self) -> int:
        """Business days before a payment date from which the coupon goes to the seller."""
    @property
    def face(self) -> float:
        """The amount repaid; prices and accrued interest are per face."""
    @property
    def frequency(self) -> int:
        """Coupons a year: the yields' compounding frequency."""
    def __eq__(self, other: object, /) -> bool:
        """Equal conventions: every part equal, calendars by their days."""
    def __hash__(self) -> int:
        """A hash consistent with equality."""
    def __reduce__(self) -> tuple[Any, ...]:
        """The parts to rebuild the conventions from, for pickle."""

def _bond_conventions(
    tenor: str, day_count: str, cal: tuple[Any, ...] | None, bus_day_adj: int, pay_adj: int, stub_type: int,
    end_of_month: bool, settlement_days: int, ex_coupon_days: int, face: float,
) -> BondConventions:
    """BondConventions from its pickled parts (for pickle only)."""

# Every coupon, then the redemption, of each bond: equal-length arrays under
# the keys bond (when a term is an array), accrual_start, accrual_end,
# payment_date, year_fraction and amount.
def bond_cashflows(conv: BondConventions, start: _Dates, maturity: _Dates, coupon: ArrayLike) -> dict[str, Any]:
    """Every coupon and the redemption of each bond, as a dict of equal-length arrays."""

# Ufunc-like over the bond terms (conventions first): NaN where a bond has no
# value at its settlement date.
def bond_accrued(
    conv: BondConventions | ArrayLike, settle: _Dates, start: _Dates, maturity: _Dates, coupon: ArrayLike,
    **ufunc_kwargs: Any,
) -> Any:
    """Accrued interest per face at the settlement date (negative in an ex-coupon period)."""
def bond_dirty_price(
    conv: BondConventions | ArrayLike, settle: _Dates, start: _Dates, maturity: _Dates, coupon: ArrayLike,
    ytm: ArrayLike, **ufunc_kwargs: Any,
) -> Any:
    """Dirty price per face at the yield, compounded at the coupon frequency."""
def bond_clean_price(
    conv: BondConventions | ArrayLike, settle: _Dates, start: _Dates, maturity: _Dates, coupon: ArrayLike,
    ytm: ArrayLike, **ufunc_kwargs: Any,
) -> Any:
    """Clean price per face at the yield: the dirty price less the accrued interest."""
def bond_ytm(
    conv: BondConventions | ArrayLike, settle: _Dates, start: _Dates, maturity: _Dates, coupon: ArrayLike,
    clean_price: ArrayLike, **ufunc_kwargs: Any,
) -> Any:
    """The yield of a clean price; NaN where none exists."""
def bond_duration(
    conv: BondConventions | ArrayLike, settle: _Dates, start: _Dates, maturity: _Dates, coupon: ArrayLike,
    ytm: ArrayLike, kind: str = "modified", **ufunc_kwargs: Any,
) -> Any:
    """Modified duration, or Macaulay with kind='macaulay', in years."""
def bond_convexity(
    conv: BondConventions | ArrayLike, settle: _Dates, start: _Dates, maturity: _Dates, coupon: ArrayLike,
    ytm: ArrayLike, **ufunc_kwargs: Any,
) -> Any:
    """Convexity: the dirty price's second derivative in the yield over the price."""
def bond_dv01(
    conv: BondConventions | ArrayLike, settle: _Dates, start: _Dates, maturity: _Dates, coupon: ArrayLike,
    ytm: ArrayLike, **ufunc_kwargs: Any,
) -> Any:
    """The dirty price's rise per face when the yield falls one basis point."""
def bond_dirty_price_from_curve(
    conv: BondConventions | ArrayLike, curve: YieldCurve | ArrayLike, settle: _Dates, start: _Dates,
    maturity: _Dates, coupon: ArrayLike, **ufunc_kwargs: Any,
) -> Any:
    """Dirty price per face off a curve's discount factors, valued at the settlement date."""
def bond_zspread(
    conv: BondConventions | ArrayLike, curve: YieldCurve | ArrayLike, settle: _Dates, start: _Dates,
    maturity: _Dates, coupon: ArrayLike, clean_price: ArrayLike, **ufunc_kwargs: Any,
) -> Any:
    """The spread over the curve's continuous zero rates giving the clean price; NaN where none exists."""

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
