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


def _device_rate(rate: float) -> float:
    """The standard rate the library opens the device at for ``rate`` (or,
    where the device offers less, a lower one)."""
    return 44100.0 if rate >= 44100 else 22050.0 if rate >= 22050 else 11025.0 if rate >= 11025 else 8000.0


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
    piece = piece_samples(rate, channels)
    # Silence around the signal. Before it: the device plays from the open
    # on and takes ahead into its own buffer (on Linux ALSA's, about 0.1 s)
    # what lies in the ring, so the first samples would be passed before
    # they are written. After it: the call that queues the last piece
    # returns once the device has taken everything before it, and closing
    # drops what the device's buffer still holds.
    margin = math.ceil(_DEVICE_LATENCY * rate)
    end = margin + n + margin
    padded = np.zeros((channels, end + piece), dtype=np.float64)
    padded[:, margin:margin + n] = x
    if not np.all(np.isfinite(padded)):
        raise ValueError("signal: every value must be finite")
    total = padded.shape[1]
    left = padded[0].ctypes.data
    right = padded[1].ctypes.data if channels == 2 else None
    with _playing, capture() as box:
        if not lib.OpenSpeaker(rate, channels, round(volume * 0xFFFF), full_scale):
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
