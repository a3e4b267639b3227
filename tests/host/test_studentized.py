"""The studentized range distribution against identities and independent integrations."""
import math

import mpmath
import numpy as np
import pytest
from scipy.stats import norm, t

from host_terms import studentized_sf_by_trapezoid
from Tarnwick.bi.common import studentized

ALL_DF = [1.0, 2.0, 3.5, 10.0, 1e3, 99999.0, 1e5, 100001.0, 1e9, 1e15, math.inf]


@pytest.mark.parametrize("df", ALL_DF)
def test_two_means_follow_the_t_distribution_down_to_the_floor(df):
    # With two means the range is |Z1 - Z2|: p = 2 t.sf(q / sqrt(2), df).
    target = np.array([0.9, 0.15, 1.3e-4, 9e-10, 1e-30, 1e-100, 1e-200, 1e-280])
    q = np.sqrt(2.0) * t.isf(target / 2.0, df)
    expected = 2.0 * t.sf(q / np.sqrt(2.0), df)
    q = q[np.isfinite(q) & (expected >= studentized.TAIL_FLOOR)]
    expected = 2.0 * t.sf(q / np.sqrt(2.0), df)
    assert len(q) >= 6
    np.testing.assert_allclose(studentized.sf(q, 2, df), expected, rtol=1e-9)


@pytest.mark.parametrize("df, closed_form", [
    (1.0, lambda x: 1.0 - 2.0 / math.pi * math.atan(x)),
    (2.0, lambda x: 1.0 - x / math.sqrt(2.0 + x * x)),
])
@pytest.mark.parametrize("q", [0.05, 0.7, 3.0, 25.0, 1e4, 1e12])
def test_two_means_with_one_or_two_df_have_closed_forms(df, closed_form, q):
    # The t distribution with 1 (Cauchy) and 2 df in closed form, written out here.
    expected = closed_form(q / math.sqrt(2.0))
    if q > 100:  # one less a number near one loses digits: the tail's own expansion
        x = q / math.sqrt(2.0)
        expected = 2.0 / (math.pi * x) if df == 1.0 else 1.0 / (x * x)
        rtol = 1e-6
    else:
        rtol = 1e-10
    np.testing.assert_allclose(studentized.sf(q, 2, df), expected, rtol=rtol)


def test_infinite_df_is_the_range_of_normal_samples():
    rng = np.random.RandomState(20)
    samples = rng.normal(size=(200000, 6))
    ranges = samples.max(axis=1) - samples.min(axis=1)
    for w in (1.0, 2.5, 4.0, 5.0):
        seen = float(np.mean(ranges > w))
        sigma = math.sqrt(seen * (1 - seen) / len(ranges))
        assert abs(float(studentized.sf(w, 6, math.inf)) - seen) < 5 * sigma + 1e-6


def mpmath_range_tail(w, k, digits):
    """P(range of k normal values > w) with mpmath at ``digits`` digits: the tail as the
    difference of two powers, which the working precision keeps exact enough."""
    mpmath.mp.dps = digits
    m = k - 1

    def integrand(z):
        a = mpmath.ncdf(z)
        return mpmath.npdf(z) * (a ** m - (a - mpmath.ncdf(z - w)) ** m)

    c = mpmath.mpf(w) / 2
    points = mpmath.linspace(min(-9, c - 12), max(9, c + 12), 7)
    return k * mpmath.quad(integrand, points, method="gauss-legendre")


@pytest.mark.parametrize("w, k, digits", [(5.0, 20, 30), (8.0, 3, 30), (30.0, 4, 130)])
def test_infinite_df_against_a_high_precision_integration(w, k, digits):
    expected = mpmath_range_tail(w, k, digits)
    got = float(studentized.sf(w, k, math.inf))
    assert abs(got / float(expected) - 1.0) < 1e-9


@pytest.mark.parametrize("q, k, df", [(3.5, 3, 10.0), (2.0, 6, 3.3), (4.0, 5, 1.0),
                                      (4.0, 5, 1000.0), (6.0, 40, 25.0), (5.5, 200, 60.0)])
def test_finite_df_against_an_independent_integration(q, k, df):
    np.testing.assert_allclose(studentized.sf(q, k, df), studentized_sf_by_trapezoid(q, k, df),
                               rtol=1e-8)


@pytest.mark.parametrize("k, q", [(3, 5.0), (20, 6.0), (200, 7.0)])
def test_large_df_approach_infinite_df_smoothly(k, q):
    # p(df) - p(inf) shrinks like 1/df, with no step anywhere (a switch of method would show).
    df = np.geomspace(1e3, 1e12, 40)
    p = studentized.sf(q, k, df)
    limit = float(studentized.sf(q, k, math.inf))
    scaled = (p - limit) * df
    assert np.all(np.diff(p) < 0)  # heavier tails for fewer df at this q
    np.testing.assert_allclose(scaled[-15:-5], scaled[10], rtol=1e-3)


def test_tails_below_the_floor_are_given_as_the_floor():
    p = studentized.sf([60.0, 1e7, 1e305], 3, [math.inf, 50.0, 1.0])
    assert np.all(p == studentized.TAIL_FLOOR)
    assert studentized.sf(0.0, 5, 7.0) == 1.0 and studentized.sf(-1.0, 5, math.inf) == 1.0


@pytest.mark.parametrize("k", [2, 5, 40, 200])
@pytest.mark.parametrize("p", [0.5, 0.05, 0.01, 1e-6])
def test_quantiles_invert_the_tail(k, p):
    df = np.array([1.0, 1.7, 4.0, 30.0, 2e3, 1e7, math.inf])
    q = studentized.isf(p, k, df)
    np.testing.assert_allclose(studentized.sf(q, k, df), p, rtol=1e-8)
    if k == 2:
        finite = np.isfinite(df)
        expected = np.where(finite, t.isf(p / 2.0, np.where(finite, df, 1.0)), norm.isf(p / 2.0))
        np.testing.assert_allclose(q / math.sqrt(2.0), expected, rtol=1e-8)


def test_quantiles_of_many_df_at_once_are_those_of_each():
    df = np.geomspace(1.5, 5e4, 120)
    together = studentized.isf(0.05, 12, df)
    one_by_one = [float(studentized.isf(0.05, 12, d)) for d in df[::17]]
    np.testing.assert_allclose(together[::17], one_by_one, rtol=1e-9)
    np.testing.assert_allclose(studentized.sf(together, 12, df), 0.05, rtol=1e-8)


@pytest.mark.parametrize("bad", [dict(k=1), dict(k=2.5), dict(df=0.0), dict(df=-3.0)])
def test_bad_parameters_are_refused(bad):
    arguments = dict(k=3, df=5.0)
    arguments.update(bad)
    with pytest.raises(ValueError):
        studentized.sf(2.0, **arguments)


def test_two_means_at_infinite_df_are_the_normal_difference():
    q = np.array([0.5, 3.0, 12.0, 40.0])
    np.testing.assert_allclose(studentized.sf(q, 2, math.inf), 2 * norm.sf(q / math.sqrt(2)),
                               rtol=1e-10)
