"""Playing a signal through the speaker exports: OpenSpeaker, then
TransSpeakerData piece by piece, then CloseSpeaker."""

from __future__ import annotations

import math
import threading

import numpy as np
from numpy.typing import ArrayLike

from ._lib import capture, failure, lib, report

_MOST_VALUES = 8192  # converted values (frames x channels) of one TransSpeakerData
_DEVICE_LATENCY = 0.3  # seconds of silence that follow a signal into the device
_playing = threading.Lock()  # one playback at a time in a process


# The rates the device runs at. The library opens it at the one at or below
# the signal's rate and copies the signal as it is unless the device's rate
# is 2.1 times the signal's or more (a signal below about 3810 Hz), which it
# resamples itself: anything else between, or above 44100 Hz, would play at
# the wrong pitch and length, so the package resamples it first.
DEVICE_RATES = (44100.0, 22050.0, 11025.0, 8000.0)
_LIBRARY_RESAMPLES_BELOW = 8000.0 / 2.1
_MOST_FRAMES = 2**31 - 1  # the library's arrays are indexed by an int


def _device_rate(rate: float) -> float:
    """The standard rate the library opens the device at for ``rate`` (or,
    where the device offers less, a lower one)."""
    return 44100.0 if rate >= 44100 else 22050.0 if rate >= 22050 else 11025.0 if rate >= 11025 else 8000.0


def playing_rate(rate: float) -> float:
    """The rate a signal of ``rate`` is handed to the library at: its own
    where the library plays it right (a device rate, or one it resamples
    itself), else the lowest device rate at or above it (44100 Hz at most),
    to which the package resamples it."""
    if rate in DEVICE_RATES or rate <= _LIBRARY_RESAMPLES_BELOW:
        return rate
    return min((r for r in DEVICE_RATES if r >= rate), default=DEVICE_RATES[0])


def resample(x: np.ndarray, rate: float, to: float) -> np.ndarray:
    """``x`` (channels, samples) at ``rate`` as samples at ``to``: a
    Blackman-windowed sinc, cut off at the lower of the two rates' Nyquist
    frequencies, 16 of its zero crossings each side. The first output
    sample is the first input sample's instant; there are
    round(samples x to / rate) of them, at least one."""
    ratio = to / rate
    cutoff = min(1.0, ratio)  # of the input's Nyquist frequency
    half = math.ceil(16 / cutoff)  # input samples each side of an output instant
    n = x.shape[1]
    out = np.empty((x.shape[0], max(1, round(n * ratio))), dtype=np.float64)
    taps = np.arange(-half + 1, half + 1)
    chunk = max(1, (1 << 19) // taps.size)  # outputs at a time: bounded memory
    for start in range(0, out.shape[1], chunk):
        t = np.arange(start, min(start + chunk, out.shape[1])) / ratio  # instants in input samples
        k = np.floor(t).astype(np.int64)[:, np.newaxis] + taps
        u = t[:, np.newaxis] - k
        w = cutoff * np.sinc(cutoff * u) * (0.42 + 0.5 * np.cos(np.pi * u / half) + 0.08 * np.cos(2 * np.pi * u / half))
        inside = (k >= 0) & (k < n)
        w[~inside] = 0.0
        k = np.clip(k, 0, n - 1)
        for c in range(x.shape[0]):
            out[c, start:start + t.size] = np.einsum("ij,ij->i", w, x[c][k])
    return out


def piece_samples(rate: float, channels: int) -> int:
    """Samples per channel of one TransSpeakerData call at ``rate``.

    The library copies a signal whose rate is near the device's and
    resamples one far below it, converting samples x (device rate / rate)
    frames; either way at most 8192 values per call. A device that runs
    slower than the standard rate only converts fewer.
    """
    ratio = _device_rate(rate) / rate
    if abs(ratio - 1.0) < 1.1:  # copied as they are
        return _MOST_VALUES // channels
    return max(1, int(_MOST_VALUES / (channels * ratio)))


def _signal(signal: ArrayLike) -> np.ndarray:
    x = np.asarray(signal)
    if x.ndim == 1:
        x = x[np.newaxis]
    if x.ndim != 2 or x.shape[0] not in (1, 2):
        raise ValueError(f"signal: one channel, shaped (samples,) or (1, samples), or two, shaped (2, samples); "
                         f"got the shape {np.shape(signal)}")
    if x.dtype.kind not in "biuf":
        raise ValueError(f"signal: numbers, not {x.dtype}")
    return x


def play(signal: ArrayLike, rate: float, *, full_scale: float | None = None, volume: float = 1.0) -> None:
    """See :meth:`kelmo.Card.play`."""
    x = _signal(signal)
    rate = float(rate)
    if not (rate > 0 and math.isfinite(rate)):
        raise ValueError(f"rate: {rate!r} is not a sampling rate above 0")
    if full_scale is None:
        full_scale = 32768.0 if x.dtype.kind in "iu" else 1.0
    full_scale = float(full_scale)
    if not (full_scale > 0 and math.isfinite(full_scale)):
        raise ValueError(f"full_scale: {full_scale!r} is not a value above 0")
    volume = float(volume)
    if not 0 <= volume <= 1:
        raise ValueError(f"volume: {volume!r} is not within 0 .. 1")
    channels, n = x.shape
    if n == 0:
        return
    if not np.all(np.isfinite(x)):
        raise ValueError("signal: every value must be finite")
    played = playing_rate(rate)
    if played != rate:
        x = resample(x.astype(np.float64), rate, played)
        n = x.shape[1]
    piece = piece_samples(played, channels)
    # Silence around the signal, in the device's time (0.3 s at the rate
    # handed to the library, which is the device's or below it). Before
    # it: the device plays from the open on and takes ahead into its own
    # buffer (on Linux ALSA's, about 0.1 s) what lies in the ring, so the
    # first samples would be passed before they are written. After it: the
    # call that queues the last piece returns once the device has taken
    # everything before it, and closing drops what the device's buffer
    # still holds.
    margin = math.ceil(_DEVICE_LATENCY * played)
    end = margin + n + margin
    if end + piece > _MOST_FRAMES:
        raise ValueError(f"signal: {n} samples at {played:g} Hz are more than one playback takes "
                         f"({_MOST_FRAMES} with its silence); play it in parts")
    padded = np.zeros((channels, end + piece), dtype=np.float64)
    padded[:, margin:margin + n] = x
    total = padded.shape[1]
    left = padded[0].ctypes.data
    right = padded[1].ctypes.data if channels == 2 else None
    with _playing, capture() as box:
        if not lib.OpenSpeaker(played, channels, round(volume * 0xFFFF), full_scale):
            raise failure("the output device could not be opened", "OpenSpeaker", box, card_type=800)
        try:
            for start in range(0, end + piece, piece):  # the last piece starts at end or after it
                # Copied signals are read from start on; resampled ones at the
                # playback's own position, within the whole array.
                if not lib.TransSpeakerData(min(piece, total - start), start, total, left, right):
                    raise failure(f"the samples from {start} on could not be played", "TransSpeakerData", box,
                                  card_type=800)
        finally:
            closed = lib.CloseSpeaker()
        if not closed:
            raise failure("the output device could not be closed", "CloseSpeaker", box, card_type=800)
    report(box, "TransSpeakerData")
