"""The numerical routines against scipy's where it has the same one."""

import numpy as np
import pytest
from scipy.interpolate import CubicSpline
from scipy.signal import freqz, lfilter

import kelmo


@pytest.fixture
def table():
    rng = np.random.default_rng(7)
    x = np.cumsum(rng.uniform(0.2, 1.5, 12))
    return x, np.sin(x) + 0.1 * x**2


@pytest.mark.parametrize("ends", [(None, None), (0.3, -2.0), (None, 1.5)])
def test_spline_matches_scipy_cubic_spline(table, ends):
    x, y = table
    start, end = ends
    bc = tuple(("natural" if s is None else (1, s)) for s in ends)
    ref = CubicSpline(x, y, bc_type=bc)
    s = kelmo.spline(x, y, start_slope=start, end_slope=end)
    np.testing.assert_allclose(s.second_derivatives, ref(x, 2), rtol=1e-9, atol=1e-9)
    # Inside, on the knots and beyond both ends (the end pieces go on).
    at = np.concatenate([np.linspace(x[0] - 1, x[-1] + 1, 300), x]).reshape(6, -1)
    values = s(at)
    assert values.shape == at.shape
    np.testing.assert_allclose(values, ref(at), rtol=1e-9, atol=1e-9)
    np.testing.assert_array_equal(s(x), y)


def test_spline_keeps_its_table_and_refuses_bad_ones(table):
    x, y = table
    s = kelmo.spline(x, y)
    at = x[3] + 0.1
    before = s(at)
    x[:] = 0  # the caller's arrays are copied
    assert s(at) == before
    assert float(s(2.0)) == float(s(np.float64(2.0)))
    for bad, message in [(([0, 1, 1, 2], [0, 1, 2, 3]), "increasing"), (([0, 1], [0]), "length"),
                         (([1.0], [2.0]), "2 points"), (([0, np.nan], [0, 1]), "finite")]:
        with pytest.raises(ValueError, match=message):
            kelmo.spline(*bad)
    with pytest.raises(ValueError, match="end_slope"):
        kelmo.spline([0, 1], [0, 1], end_slope=float("inf"))


def ar2(n, a1, a2, seed=3):
    e = np.random.default_rng(seed).normal(0, 1, n)
    return lfilter([1], [1, -a1, -a2], e)


def test_mem_spectrum_is_the_spectrum_of_the_fitted_model():
    x = ar2(1024, 1.2, -0.6)
    d, xms = kelmo.mem_coefficients(x, 2)
    assert d == pytest.approx([1.2, -0.6], abs=0.08) and xms == pytest.approx(1.0, rel=0.15)

    f = np.linspace(0, 0.5, 65)
    p = kelmo.mem_spectrum(x, 2, f)
    _, h = freqz([1], np.r_[1, -d], worN=2 * np.pi * f)
    np.testing.assert_allclose(p, xms * np.abs(h) ** 2, rtol=1e-6)

    # Uneven frequencies and Hz (rate given) give the same values point by point.
    uneven = f[[0, 5, 6, 40, 64]]
    np.testing.assert_allclose(kelmo.mem_spectrum(x, 2, uneven * 8000, rate=8000), p[[0, 5, 6, 40, 64]],
                               rtol=1e-12)
    grid = kelmo.mem_spectrum(x, 2, 65, rate=8000)  # 65 frequencies from 0 to 4000 Hz
    np.testing.assert_allclose(grid, p, rtol=1e-12)


def test_mem_spectrum_finds_a_sine():
    n = np.arange(1000)
    x = np.sin(2 * np.pi * 0.1 * n) + 0.01 * np.random.default_rng(1).normal(size=n.size)
    f = np.linspace(0, 0.5, 501)
    assert f[kelmo.mem_spectrum(x, 8, f).argmax()] == pytest.approx(0.1, abs=0.002)


def test_mem_refuses_what_it_cannot_fit():
    with pytest.raises(ValueError, match="1024"):
        kelmo.mem_coefficients(np.zeros(1025), 4)
    with pytest.raises(ValueError, match="order"):
        kelmo.mem_coefficients(np.ones(10), 10)
    d, xms = kelmo.mem_coefficients([1.0, -1.0, 1.0, -1.0], 0)
    assert d.size == 0 and xms == 1.0
