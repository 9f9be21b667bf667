"""The library's numerical routines over numpy arrays: the maximum-entropy
(all-poles) spectrum and the cubic spline."""

from __future__ import annotations

from ctypes import byref, c_double

import numpy as np
from numpy.typing import ArrayLike

from ._lib import capture, failure, lib, report

_NATURAL = 1e30      # an end slope beyond 9.9e29 asks the library for a natural end
_MAX_SAMPLES = 1024  # the fit works in fixed arrays of this size


def _vector(name: str, v: ArrayLike) -> np.ndarray:
    a = np.ascontiguousarray(v, dtype=np.float64)
    if a.ndim != 1:
        raise ValueError(f"{name}: a one-dimensional array")
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name}: every value must be finite")
    return a


def mem_coefficients(x: ArrayLike, order: int) -> tuple[np.ndarray, float]:
    """Burg's fit of ``order`` linear-prediction coefficients to the samples
    ``x`` (at most 1024): returns (d, xms), d[j - 1] being coefficient j of
    x[i] ~ sum_j d_j x[i - j], xms the mean-square residual."""
    a = _vector("x", x)
    order = int(order)
    if not 1 <= a.size <= _MAX_SAMPLES:
        raise ValueError(f"x: 1 .. {_MAX_SAMPLES} samples (got {a.size})")
    if not 0 <= order < a.size:
        raise ValueError(f"order: 0 .. {a.size - 1} for {a.size} samples")
    d = np.zeros(order + 1, dtype=np.float64)
    xms = c_double(0.0)
    with capture() as box:
        lib.memcof(a.ctypes.data, a.size, order, byref(xms), d.ctypes.data)
    if xms.value == -1.0:
        raise failure("memcof refused the samples", "memcof", box)
    report(box, "memcof")
    return d[1:].copy(), xms.value


def mem_spectrum(x: ArrayLike, order: int, freqs: ArrayLike, rate: float = 1.0) -> np.ndarray:
    """The maximum-entropy power spectrum of the samples ``x`` (at most
    1024), from a fit of ``order`` coefficients, at the frequencies
    ``freqs``.

    ``freqs`` are in the units of ``rate`` (Hz when ``rate`` is the sampling
    rate; cycles per sample by default, 0.5 being the Nyquist frequency); an
    int n stands for n frequencies evenly from 0 to rate / 2. Returns the
    power at each frequency, an array shaped like ``freqs``.
    """
    d, xms = mem_coefficients(x, order)
    rate = float(rate)
    if not rate > 0:
        raise ValueError("rate: above 0")
    if isinstance(freqs, (int, np.integer)):
        if freqs < 1:
            raise ValueError("freqs: 1 or more frequencies")
        freqs = np.linspace(0.0, rate / 2, int(freqs))
    f = np.asarray(freqs, dtype=np.float64)
    flat = np.ascontiguousarray(f.ravel() / rate)
    if not np.all(np.isfinite(flat)):
        raise ValueError("freqs: every frequency must be finite")
    coef = np.zeros(order + 1, dtype=np.float64)
    coef[1:] = d
    out = np.zeros(flat.size, dtype=np.float64)
    m = len(d)
    with capture() as box:
        step = np.diff(flat)
        if flat.size > 1 and np.allclose(step, step[0], rtol=1e-12, atol=1e-15) and step[0] != 0:
            # Evenly spaced: one call evaluates them all.
            lib.evlmem(flat[0], flat[-1], flat.size - 1, out.ctypes.data, coef.ctypes.data, m, xms)
        else:
            pair = np.zeros(2, dtype=np.float64)
            for i, fi in enumerate(flat):
                lib.evlmem(fi, fi, 1, pair.ctypes.data, coef.ctypes.data, m, xms)
                out[i] = pair[0]
    report(box, "evlmem")
    return out.reshape(f.shape)


class Spline:
    """A cubic spline through (x, y), made by :func:`spline`.

    ``second_derivatives`` holds the spline's second derivative at each x;
    calling the spline evaluates it (outside the table the first or last
    piece goes on).
    """

    def __init__(self, x: np.ndarray, y: np.ndarray, second_derivatives: np.ndarray):
        self.x = x
        self.y = y
        self.second_derivatives = second_derivatives

    def __call__(self, at: ArrayLike) -> np.ndarray:
        q = np.asarray(at, dtype=np.float64)
        flat = q.ravel()
        out = np.empty(flat.size, dtype=np.float64)
        xa, ya, y2 = self.x.ctypes.data, self.y.ctypes.data, self.second_derivatives.ctypes.data
        n = self.x.size
        with capture() as box:
            for i, v in enumerate(flat):
                out[i] = lib.splint(xa, ya, y2, n, float(v))
                if box:  # equal abscissas around v: the library says so and gives 0
                    raise failure(f"splint failed at x = {v:g}", "splint", box)
        return out.reshape(q.shape)

    def __repr__(self) -> str:
        return f"<kelmo.Spline of {self.x.size} points from {self.x[0]:g} to {self.x[-1]:g}>"


def spline(x: ArrayLike, y: ArrayLike, start_slope: float | None = None, end_slope: float | None = None) -> Spline:
    """The cubic spline through the points (x, y), x strictly increasing.

    ``start_slope`` and ``end_slope`` are the first derivatives at the ends;
    None (the default) makes that end natural (second derivative 0).
    Returns a :class:`Spline`: ``s(xs)`` gives the values at ``xs`` as an
    array, ``s.second_derivatives`` the second derivatives at ``x``.
    """
    xa = _vector("x", x)
    ya = _vector("y", y)
    if xa.size != ya.size:
        raise ValueError(f"x and y differ in length ({xa.size} and {ya.size})")
    if xa.size < 2:
        raise ValueError("a spline needs 2 points or more")
    if not np.all(np.diff(xa) > 0):
        raise ValueError("x must be strictly increasing")
    ends = []
    for name, s in (("start_slope", start_slope), ("end_slope", end_slope)):
        if s is None:
            ends.append(_NATURAL)
            continue
        s = float(s)
        if not np.isfinite(s) or abs(s) > 9.9e29:
            raise ValueError(f"{name}: a finite slope (None for a natural end)")
        ends.append(s)
    y2 = np.zeros(xa.size, dtype=np.float64)
    with capture() as box:
        lib.spline(xa.ctypes.data, ya.ctypes.data, xa.size, ends[0], ends[1], y2.ctypes.data)
    report(box, "spline")
    table = [np.array(a) for a in (xa, ya, y2)]  # copies: the caller may change x and y later
    for a in table:
        a.setflags(write=False)
    return Spline(*table)
