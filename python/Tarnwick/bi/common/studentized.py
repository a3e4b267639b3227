"""The studentized range distribution: upper tail probabilities and quantiles.

Q = R / S, where R is the range of k independent standard normal values and S² an independent
chi-square variable with ν degrees of freedom divided by ν. The comparison tables refer their
statistics to it: Tukey–Kramer with the residual df (on Spark data often in the millions),
Games–Howell with a Welch–Satterthwaite df per pair.

Method
------
* The tail of the range, P∞(w) = P(R > w), is an integral over the position z of the largest
  value: P∞(w) = k ∫ φ(z) [Φ(z)^(k−1) − (Φ(z) − Φ(z − w))^(k−1)] dz. The bracket is formed as
  Φ(z)^(k−1) · (1 − (1 − u)^(k−1)) with u = Φ(z − w)/Φ(z), through ``log1p`` and ``expm1``,
  so the tail is computed as a tail (never as one less a probability near one), to its
  relative precision however small it is. Everything is summed in logarithms.
* log P∞ is computed once per k on a grid of w (with its derivative, from the density of the
  range) and interpolated by cubic Hermite polynomials; beyond the grid it follows the
  asymptotic tail of the largest pairwise difference.
* For finite ν, P(Q > q) = ∫ f(t) P∞(q·e^t) dt over t = log S, f the density of log S. The
  integrand is log-concave in t: its mode is found by bisection, the points where it has
  fallen by fixed factors on either side by bisection too, and the pieces between them are
  integrated by Gauss–Legendre rules. No formula switches with ν: every finite ν takes the
  same path, and ν = ∞ is the limit it approaches.

Accuracy: relative error below 1e-6 (measured far below that) for tails down to
:data:`TAIL_FLOOR`; smaller tails are returned as :data:`TAIL_FLOOR`, an upper bound.
"""
from __future__ import annotations

import functools
import math
from typing import Any, Tuple

import numpy as np

__all__ = ["TAIL_FLOOR", "isf", "sf"]

#: Smallest tail probability computed to full accuracy; smaller ones are returned as this bound.
TAIL_FLOOR = 1e-300

_GRID_STEP = 0.02          # spacing of the tabulated log P∞(w)
_GRID_END = 64.0           # w beyond which the asymptotic tail is used
_DROPS = np.array([0.5, 2.0, 5.0, 10.0, 18.0, 28.0, 40.0, 55.0])  # panel ends: log falls by
_BISECTIONS = 44
_ORDER = 12                # Gauss–Legendre points per panel of the outer integral
_HALF_LOG_2PI = 0.5 * math.log(2.0 * math.pi)


def _gauss(n: int) -> Tuple[np.ndarray, np.ndarray]:
    nodes, weights = np.polynomial.legendre.leggauss(n)
    return 0.5 * (nodes + 1.0), 0.5 * weights  # on [0, 1]


def _composite(panels: int, order: int) -> Tuple[np.ndarray, np.ndarray]:
    """Gauss–Legendre nodes and weights of ``panels`` equal panels of [0, 1]."""
    x, w = _gauss(order)
    starts = np.arange(panels)[:, None] / panels
    return (starts + x / panels).ravel(), np.tile(w / panels, panels)


def _log_range_tail(w: np.ndarray, k: int) -> Tuple[np.ndarray, np.ndarray]:
    """log P∞(w) and log of the range's density at ``w`` (w ≥ 0), by quadrature over z."""
    from scipy.special import log_ndtr, logsumexp, ndtr

    m = k - 1
    w = np.asarray(w, dtype=float)[:, None]
    nodes, weights = _composite(48, 8)
    lo = np.maximum(-9.0, w / 2.0 - 12.0)
    hi = np.maximum(9.0, w / 2.0 + 12.0)
    z = lo + (hi - lo) * nodes
    log_weights = np.log(weights * (hi - lo))
    log_a = log_ndtr(z)
    log_b = log_ndtr(z - w)
    log_u = log_b - log_a
    # D = Φ(z) − Φ(z − w), from whichever side keeps its digits.
    upper = z - w / 2.0 > 0.0
    d = np.where(upper, ndtr(w - z) - ndtr(-z), ndtr(z) - ndtr(z - w))
    with np.errstate(divide="ignore", invalid="ignore"):
        log_d = np.log(d)
        # log(1 − (D/Φ(z))^m): through u where u is small, through D where it is not.
        small = log_u < math.log(0.5)
        y = np.where(small, m * np.log1p(-np.exp(log_u)), m * (log_d - log_a))
        bracket = np.where(log_u < -700.0, math.log(m) + log_u, np.log(-np.expm1(y)))
        bracket = np.where(y == 0.0, math.log(m) + log_u, bracket)
        log_phi = -0.5 * z * z - _HALF_LOG_2PI
        tail = logsumexp(math.log(k) + log_phi + m * log_a + bracket + log_weights, axis=1)
        power = (m - 1) * np.where(np.isfinite(log_d), log_d, -np.inf) if m > 1 else 0.0
        density_terms = (math.log(k * m) + log_phi - 0.5 * (z - w) ** 2 - _HALF_LOG_2PI + power
                         + log_weights)
        density = logsumexp(density_terms, axis=1)
    return tail, density


class _RangeTail(object):
    """log P∞(w) of one k: tabulated, interpolated, and continued beyond the table."""

    def __init__(self, k: int) -> None:
        from scipy.special import log_ndtr

        self.k = k
        grid = np.arange(0.0, _GRID_END + _GRID_STEP / 2, _GRID_STEP)
        log_tail, log_density = _log_range_tail(grid, k)
        self.values = log_tail
        self.slopes = -np.exp(log_density - log_tail)  # d log P∞ / dw
        self.slopes[0] = -np.exp(log_density[0])
        # Beyond the table: log(k(k−1)) + log Φ(−w/√2), shifted to join the table.
        self.offset = log_tail[-1] - log_ndtr(-_GRID_END / math.sqrt(2.0))
        self.end = grid[-1]

    def __call__(self, w: np.ndarray, derivative: bool = False) -> Any:
        from scipy.special import log_ndtr, ndtr

        w = np.asarray(w, dtype=float)
        inside = w < self.end
        x = np.where(inside, np.maximum(w, 0.0), 0.0) / _GRID_STEP
        i = np.minimum(x.astype(int), len(self.values) - 2)
        s = x - i
        y0, y1 = self.values[i], self.values[i + 1]
        d0, d1 = self.slopes[i] * _GRID_STEP, self.slopes[i + 1] * _GRID_STEP
        s2, s3 = s * s, s * s * s
        value = ((2 * s3 - 3 * s2 + 1) * y0 + (s3 - 2 * s2 + s) * d0 + (-2 * s3 + 3 * s2) * y1
                 + (s3 - s2) * d1)
        far = w / math.sqrt(2.0)
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            outside = self.offset + log_ndtr(-far)
            value = np.where(inside, value, outside)
            if not derivative:
                return value
            slope = ((6 * s2 - 6 * s) * y0 + (3 * s2 - 4 * s + 1) * d0 + (-6 * s2 + 6 * s) * y1
                     + (3 * s2 - 2 * s) * d1) / _GRID_STEP
            # d/dw log Φ(−w/√2) = −φ(w/√2) / (√2 Φ(−w/√2)), the Mills ratio for large w.
            mills = np.exp(-0.5 * far * far - _HALF_LOG_2PI - log_ndtr(-far)) / math.sqrt(2.0)
            slope = np.where(inside, slope, -mills)
        return value, slope


@functools.lru_cache(maxsize=64)
def _range_tail(k: int) -> _RangeTail:
    return _RangeTail(k)


def _log_scale_constant(df: np.ndarray) -> np.ndarray:
    """log of 2 x^x e^(−x) / Γ(x), x = ν/2: the density of log S at its mode, times e^(ν/2)."""
    from scipy.special import gammaln

    x = df / 2.0
    with np.errstate(divide="ignore", invalid="ignore"):
        direct = x * np.log(x) - x - gammaln(x)
        big = np.maximum(x, 10.0)
        stirling = 0.5 * np.log(big / (2.0 * math.pi)) - (
            1.0 / (12.0 * big) - 1.0 / (360.0 * big ** 3) + 1.0 / (1260.0 * big ** 5)
            - 1.0 / (1680.0 * big ** 7))
    return math.log(2.0) + np.where(x >= 10.0, stirling, direct)


def _exp_remainder(y: np.ndarray) -> np.ndarray:
    """e^y − 1 − y without cancellation for small y."""
    small = np.abs(y) < 0.5
    ys = np.where(small, y, 0.0)
    series = np.zeros_like(ys)
    term = ys * ys / 2.0
    for n in range(3, 22):
        series = series + term
        term = term * ys / n
    with np.errstate(over="ignore"):
        return np.where(small, series, np.expm1(np.where(small, 0.0, y)) - y)


class _Outer(object):
    """The integrand over t = log S, in logarithms, for arrays of q and finite ν."""

    def __init__(self, tail: _RangeTail, q: np.ndarray, df: np.ndarray) -> None:
        self.tail, self.df = tail, df
        self.log_q = np.log(q)
        self.constant = _log_scale_constant(df)

    def log(self, t: np.ndarray) -> np.ndarray:
        with np.errstate(over="ignore"):
            chi = -0.5 * self.df[..., None] * _exp_remainder(2.0 * t)
        return self.constant[..., None] + chi + self.tail(np.exp(self.log_q[..., None] + t))

    def slope(self, t: np.ndarray) -> np.ndarray:
        df = self.df[..., None]
        w = np.exp(self.log_q[..., None] + t)
        _, tail_slope = self.tail(w, derivative=True)
        with np.errstate(over="ignore", invalid="ignore"):
            return -df * np.expm1(2.0 * t) + w * tail_slope


def _bisect(function, low: np.ndarray, high: np.ndarray, iterations: int) -> np.ndarray:
    """Where ``function`` changes sign (positive at ``low``, not at ``high``), elementwise."""
    for _ in range(iterations):
        middle = 0.5 * (low + high)
        positive = function(middle) > 0.0
        low = np.where(positive, middle, low)
        high = np.where(positive, high, middle)
    return 0.5 * (low + high)


def _log_sf_finite(tail: _RangeTail, q: np.ndarray, df: np.ndarray,
                   density: bool = False) -> Any:
    """log P(Q > q) for finite df (and, with ``density``, log of Q's density at q)."""
    from scipy.special import logsumexp

    outer = _Outer(tail, q, df)
    start = np.minimum(-1.0, np.log(1e-3) - outer.log_q)
    mode = _bisect(lambda t: outer.slope(t[:, None])[:, 0], start, np.zeros_like(q),
                   _BISECTIONS + 20)
    peak = outer.log(mode[:, None])[:, 0]
    levels = peak[:, None] - _DROPS[None, :]
    above = lambda t: outer.log(t) - levels  # noqa: E731  (positive inside the level)
    left_end = (mode - 60.0 / df - 10.0)[:, None] * np.ones_like(levels)
    right_end = np.maximum(np.log(95.0) - outer.log_q, mode + 1.0)[:, None] * np.ones_like(levels)
    centre = mode[:, None] * np.ones_like(levels)
    right = _bisect(above, centre, right_end, _BISECTIONS)
    left = _bisect(lambda t: -above(t), left_end, centre, _BISECTIONS)
    bounds = np.concatenate([left[:, ::-1], mode[:, None], right], axis=1)
    x, weights = _gauss(_ORDER)
    width = np.diff(bounds, axis=1)
    t = (bounds[:, :-1, None] + width[:, :, None] * x).reshape(len(q), -1)
    with np.errstate(divide="ignore"):
        log_w = np.log(width[:, :, None] * weights).reshape(len(q), -1)
    values = outer.log(t) + log_w
    log_sf = logsumexp(values, axis=1)
    if not density:
        return log_sf
    w = np.exp(outer.log_q[:, None] + t)
    _, tail_slope = tail(w, derivative=True)
    with np.errstate(divide="ignore"):
        weight = np.log(np.maximum(-tail_slope, 0.0)) + t
    return log_sf, logsumexp(values + weight, axis=1)


def _log_sf(q: np.ndarray, k: int, df: np.ndarray, density: bool = False) -> Any:
    tail = _range_tail(k)
    log_sf = np.zeros(len(q))
    log_density = np.full(len(q), -np.inf)
    infinite = np.isinf(df) & (q > 0)
    finite = np.isfinite(df) & (q > 0)
    if infinite.any():
        values, slopes = tail(q[infinite], derivative=True)
        log_sf[infinite] = values
        with np.errstate(divide="ignore"):
            log_density[infinite] = values + np.log(np.maximum(-slopes, 0.0))
    if finite.any():
        index = np.flatnonzero(finite)
        for chunk in np.array_split(index, max(1, len(index) // 4096)):
            found = _log_sf_finite(tail, q[chunk], df[chunk], density=density)
            if density:
                log_sf[chunk], log_density[chunk] = found
            else:
                log_sf[chunk] = found
    log_sf = np.minimum(log_sf, 0.0)
    return (log_sf, log_density) if density else log_sf


def _check(k: int, df: Any) -> np.ndarray:
    if int(k) != k or k < 2:
        raise ValueError("k must be an integer of at least 2, not %r" % (k,))
    df = np.asarray(df, dtype=float)
    if np.any(~(df > 0)):
        raise ValueError("df must be positive")
    return df


def sf(q: Any, k: int, df: Any) -> np.ndarray:
    """Upper tail P(Q > q) of the studentized range of ``k`` means with ``df`` degrees of freedom.

    Parameters
    ----------
    q : array_like
        Values of the statistic (≤ 0 gives 1).
    k : int
        Number of means, at least 2.
    df : array_like
        Degrees of freedom, positive, ``numpy.inf`` allowed; broadcast against ``q``.

    Returns
    -------
    numpy.ndarray
        The tail probabilities, to a relative error below 1e-6 down to :data:`TAIL_FLOOR`;
        smaller ones are returned as :data:`TAIL_FLOOR` (an upper bound). NaN where ``q`` is NaN.

    Examples
    --------
    >>> from scipy.stats import t
    >>> float(sf(3.0, 2, 10.0)) - 2 * t.sf(3.0 / 2 ** 0.5, 10.0) < 1e-12
    True
    """
    q, df = np.broadcast_arrays(np.asarray(q, dtype=float), _check(k, df))
    k = int(k)
    shape = q.shape
    q, df = q.ravel(), df.ravel()
    result = np.full(len(q), np.nan)
    known = ~np.isnan(q)
    if known.any():
        with np.errstate(under="ignore"):
            result[known] = np.maximum(np.exp(_log_sf(q[known], k, df[known])), TAIL_FLOOR)
    return result.reshape(shape)


#: With more distinct (p, df) than this, Newton starts from an interpolant of exact quantiles.
_INTERPOLATE_ABOVE = 48
#: An error of log P this small is squared by one more Newton step, with no check after it.
_LAST_STEP = 1e-6


def _starting_points(target: np.ndarray, k: int, df: np.ndarray) -> np.ndarray:
    """log q to start Newton from: the infinite-df quantile (on the tabulated tail) scaled up for
    small df; with many distinct df of one p, an interpolant in 1/√df of exact quantiles."""
    tail = _range_tail(k)
    low, high = np.full(len(target), 1e-6), np.full(len(target), 200.0)
    log_q = np.log(_bisect(lambda w: tail(w) - target, low, high, 60))
    log_q = log_q + np.where(np.isfinite(df), 1.0 / np.where(np.isfinite(df), df, 1.0), 0.0)
    if len(np.unique(df)) > _INTERPOLATE_ABOVE and np.all(target == target[0]):
        x = 1.0 / np.sqrt(df)
        a, b = x.min(), x.max()
        nodes = 0.5 * (a + b) + 0.5 * (b - a) * np.cos(np.pi * (np.arange(32) + 0.5) / 32)
        exact = np.log(isf(np.full(len(nodes), math.exp(target[0])), k, 1.0 / nodes ** 2))
        fit = np.polynomial.chebyshev.Chebyshev.fit(nodes, exact, 31, domain=[a, b])
        log_q = fit(x)
    return log_q


def isf(p: Any, k: int, df: Any) -> np.ndarray:
    """The value q with P(Q > q) = ``p``: the upper ``p`` quantile (critical value).

    Parameters
    ----------
    p : array_like
        Tail probabilities in (0, 1).
    k : int
        Number of means, at least 2.
    df : array_like
        Degrees of freedom as for :func:`sf`; broadcast against ``p``.

    Returns
    -------
    numpy.ndarray
        The quantiles, solved by Newton's method in log q on log P(Q > q) to a relative
        error of the tail below 1e-9 of itself (on top of the accuracy of :func:`sf`).

    Examples
    --------
    >>> from scipy.stats import t
    >>> q = float(isf(0.05, 2, 12.0))
    >>> abs(q / 2 ** 0.5 - t.isf(0.025, 12.0)) < 1e-8
    True
    """
    p, df = np.broadcast_arrays(np.asarray(p, dtype=float), _check(k, df))
    k = int(k)
    shape = p.shape
    p, df = p.ravel(), df.ravel()
    if np.any(~((p > 0) & (p < 1))):
        raise ValueError("p must be between 0 and 1")
    target = np.log(p)
    log_q = _starting_points(target, k, df)
    lower, upper = np.full(len(p), -np.inf), np.full(len(p), np.inf)
    for _ in range(60):
        log_sf, log_density = _log_sf(np.exp(log_q), k, df, density=True)
        error = log_sf - target
        lower = np.where(error > 0, np.maximum(lower, log_q), lower)
        upper = np.where(error <= 0, np.minimum(upper, log_q), upper)
        if np.all(np.abs(error) < 1e-10):
            break
        slope = -np.exp(log_density - log_sf + log_q)  # d log P / d log q
        step = np.where(slope < 0, -error / slope, 1.0)
        step = np.clip(step, -2.0, 2.0)
        proposal = log_q + step
        bracketed = np.isfinite(lower) & np.isfinite(upper)
        outside = (proposal <= lower) | (proposal >= upper)
        proposal = np.where(bracketed & outside, 0.5 * (lower + upper), proposal)
        log_q = np.where(np.abs(error) < 1e-10, log_q, proposal)
        if np.all(np.abs(error) < _LAST_STEP):
            break  # Newton squares an error this small: below 1e-10 after this step
    return np.exp(log_q).reshape(shape)
