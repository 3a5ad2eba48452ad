# Type information for the quillander_numpy extension module: NumPy ufuncs
# whose every element is the quillander scalar call's result.
from typing import Any, Generic, NamedTuple, SupportsIndex, TypeAlias, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike

from quillander import PutCallFlag

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
