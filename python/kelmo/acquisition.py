"""Card types, their catalogue entries, and acquisitions: one block, a
continuous stream of blocks, and a triggered block."""

from __future__ import annotations

import contextlib
import math
import os
import select
import signal
import socket
import threading
import time
import warnings
from ctypes import byref, c_double, c_int, c_uint32, create_string_buffer
from dataclasses import dataclass, field
from os import PathLike
from typing import Iterable, Iterator, Sequence

import numpy as np
from numpy.typing import ArrayLike

from ._lib import as_int, capture, decode, failure, last_error, lib, report
from .errors import KelmoError, SoundCardMissing, TriggerInterrupted, TriggerTimeout
from .playback import play
from .recording import Recording

SIMULATED = (123, 124)
SOUND_CARD = 800
_TRIGGER_BLOCK = 1024    # a triggered acquisition looks at blocks of this many samples
_SLOPES = {"level": 0, "rising": 1, "falling": 2}
# kelmo_card_source's answers
_SOURCES = {1: "simulated", 2: "driver", 3: "sound"}


def _reduced(code: int) -> int:
    """The card type a code stands for (831 .. 859 stand for 801 .. 829),
    as the library says."""
    return lib.kelmo_card_stands_for(code)


def _is_alias(code: int) -> bool:
    return _reduced(code) != code


def _source(code: int) -> str:
    """"simulated", "sound" or "driver", as the library routes the code (a
    code outside the catalogue goes to the driver)."""
    return _SOURCES.get(lib.kelmo_card_source(code), "driver")


def _offered(function, code: int, ctype) -> tuple | None:
    """A list the library offers for a card type (kelmo_card_rates or
    kelmo_card_gains); None, with the library's reason kept, when it has
    none to offer."""
    out = np.zeros(32, dtype=ctype)  # room for every list there is today: asked once
    n = function(code, out.ctypes.data, len(out))
    if n <= 0:
        return None
    if n > len(out):
        out = np.zeros(n, dtype=ctype)
        function(code, out.ctypes.data, n)
    return tuple(out[:n].tolist())


# ---- the catalogue ---------------------------------------------------------------------

@dataclass(frozen=True)
class CardInfo:
    """What a card type offers, as the library says and applies it.

    ``frequencies`` are the sampling rates (Hz) a host offers its user,
    highest first: the catalogue's list without the rates beyond the card's
    limits (for the sound card, the standard rates its capture device
    records); ``max_rate`` and ``min_rate`` the limits; ``gains`` the gains
    an acquisition can ask for (the catalogue's whole ones: the exports take
    a whole gain); ``full_scale`` the engineering value of the largest raw
    code (for the sound card it follows the recording input's volume);
    ``word_bytes`` the size of one raw sample word (2, or 4 for the 32-bit
    card types).
    """

    card_type: int
    channels: int
    gains: tuple[float, ...]
    frequencies: tuple[int, ...]
    max_rate: float
    min_rate: float
    full_scale: int
    word_bytes: int
    aux_code: int

    @property
    def source(self) -> str:
        """"simulated", "sound" or "driver" (a card behind the device ZEB1)."""
        return _source(self.card_type)


def _word_bytes(code: int) -> int:
    w = c_int(2)
    lib.GetCardWordType(code, byref(w))
    return w.value


def _catalogue_entry(code: int) -> CardInfo | None:
    """The entry of a catalogued card type, else None; a KelmoError with
    the library's reason when its source cannot say what it offers now (a
    sound card without a capture device)."""
    if lib.kelmo_card_source(code) == 0:
        return None
    # The offer first: without a capture device it says why, where the
    # catalogue would show a message box and a device of one channel.
    rates = _offered(lib.kelmo_card_rates, code, np.float64)
    if rates is None:
        raise failure(f"card type {code} cannot be used", "kelmo_card_rates", card_type=code)
    gains_offered = _offered(lib.kelmo_card_gains, code, np.int32) or ()
    low, high = c_double(0.0), c_double(0.0)
    lib.kelmo_card_rate_limits(code, byref(low), byref(high))
    channels, aux, full_scale = c_int(0), c_int(0), c_int(0)
    with capture() as box:
        lib.GetADParameter(code, byref(channels), None, None, None, None, byref(aux), None, None, byref(full_scale))
    report(box, "GetADParameter")
    if channels.value <= 0:
        return None
    return CardInfo(card_type=code, channels=channels.value, gains=tuple(float(g) for g in gains_offered),
                    frequencies=tuple(int(f) for f in rates), max_rate=high.value, min_rate=low.value,
                    full_scale=full_scale.value, word_bytes=_word_bytes(code), aux_code=aux.value)


def _sound_card_entry() -> CardInfo | None:
    """The sound card's entry, or None after a SoundCardMissing warning
    that says why it cannot be had."""
    c = card(SOUND_CARD)
    try:
        c.check()  # the full scale follows the recording volume the check reads
    except KelmoError as e:
        warnings.warn(SoundCardMissing(e.reason or str(e), e), stacklevel=3)
        return None
    try:
        entry = _catalogue_entry(SOUND_CARD)
    except KelmoError as e:
        warnings.warn(SoundCardMissing(e.reason or str(e), e), stacklevel=3)
        return None
    return entry


def cards(sound: bool = False) -> list[CardInfo]:
    """Every card type in the catalogue (the codes 831 .. 859, aliases of
    801 .. 829, left out). The sound card (800) only with ``sound=True``:
    its entry asks the capture device and reads the recording input; where
    it cannot be had, it is left out with a :class:`SoundCardMissing`
    warning whose ``reason`` says why."""
    out = []
    for code in range(1, 1000):
        if _is_alias(code) or (code == SOUND_CARD and not sound):
            continue
        if code == SOUND_CARD:
            sound_entry = _sound_card_entry()
            if sound_entry is not None:
                out.append(sound_entry)
            continue
        entry = _catalogue_entry(code)
        if entry is not None:
            out.append(entry)
    return out


def card(card_type: int) -> "Card":
    """The card type ``card_type``: 123 and 124 the simulated source (16-
    and 32-bit words), 800 the sound card, any other code a card behind the
    acquisition device."""
    return Card(card_type)


# ---- results ---------------------------------------------------------------------------

@dataclass(frozen=True, eq=False)
class Acquisition:
    """Samples of one acquisition.

    ``data`` has the shape (channels, samples): float64 engineering values
    in the card's units (full scale usually +-5000), or with ``raw=True``
    the raw sample words (int16, int32 for card types of 32-bit words).
    ``rate`` is the sampling rate the card really runs at (Hz), which may
    differ from the rate asked for. ``np.asarray(result)`` gives ``data``.
    """

    data: np.ndarray
    rate: float
    channels: tuple[int, ...]
    card_type: int
    raw: bool = False

    @property
    def samples(self) -> int:
        return self.data.shape[1]

    @property
    def duration(self) -> float:
        """Seconds the samples span."""
        return self.samples / self.rate

    def times(self) -> np.ndarray:
        """The time of each sample in seconds from the first one."""
        return np.arange(self.samples) / self.rate

    def __array__(self, dtype=None, copy=None):
        return self.data if dtype is None else self.data.astype(dtype)

    def __len__(self) -> int:
        return len(self.data)

    def __getitem__(self, item):
        return self.data[item]


@dataclass(frozen=True, eq=False)
class Block(Acquisition):
    """One block of a stream: ``index`` counts the blocks from 0, ``start``
    is the number of samples per channel delivered before it, ``gap`` tells
    that samples were lost before this block (the host fetched too late)."""

    index: int = 0
    start: int = 0
    gap: bool = False


@dataclass(frozen=True, eq=False)
class Triggered(Acquisition):
    """A triggered block: the sample that met the condition is at
    ``trigger_index`` (the pre-trigger count) of every channel."""

    trigger_index: int = 0


def _on_a_thread_of_its_own(call, keep=()) -> tuple[int, list[str], str]:
    """Runs one blocking export on a thread of its own and waits for it in
    short steps, so that Ctrl-C raises KeyboardInterrupt here within a
    tenth of a second however long the block lasts (the block itself runs
    to its end in the background: the library cannot be stopped in it; the
    card is free again once it has). Returns the export's result, its texts
    and, when it failed, its reason, both read on the thread that called
    it. ``keep``: what the call writes into, kept alive until it ends."""
    out: dict = {}

    def run(_keep=keep):
        try:
            with capture() as box:
                ok = call()
            out["result"] = (ok, box, "" if ok else last_error())
        except BaseException as e:  # handed to the caller's thread
            out["error"] = e

    t = threading.Thread(target=run, name="kelmo block", daemon=True)
    t.start()
    while t.is_alive():
        t.join(0.1)
    if "error" in out:
        raise out["error"]
    return out["result"]


def _slice_of(block: int, rate: float, paced: bool) -> int:
    """The library's block for a stream of ``block`` samples per channel at
    ``rate``: the whole block when it lasts a tenth of a second or less (or
    is not paced), else equal slices of at most a tenth of a second."""
    most = max(1, int(rate * 0.1)) if rate > 0 and np.isfinite(rate) else block
    if not paced or block <= most:
        return block
    pieces = -(-block // most)
    return -(-block // pieces)


# ---- planning an acquisition -------------------------------------------------------------

@dataclass
class _Plan:
    code: int            # card type
    source: str
    wanted: tuple[int, ...]
    first: int          # the span acquired: first .. first + count - 1
    count: int
    rows: list[int]      # wanted channels as rows of the span
    divider: int
    rate: float
    gain: float
    gains: np.ndarray = field(default_factory=lambda: np.zeros(0))

    @property
    def packed(self) -> int:
        """The channel argument of the non-Ex exports."""
        return self.first * 256 + self.count if self.first else self.count


def _channel_list(channels) -> tuple[int, ...]:
    if isinstance(channels, (int, np.integer)):
        if channels < 1:
            raise ValueError("channels: give a count of 1 or more, or a list of channel numbers")
        return tuple(range(int(channels)))
    out = tuple(int(c) for c in channels)
    if not out:
        raise ValueError("channels: no channel given")
    return out


_checked: set[int] = set()
_checked_lock = threading.Lock()


class _SoundTurn:
    """The sound card's capture is one per process: its acquisitions take
    turns. A block or triggered acquisition holds the turn for its call, a
    stream from its start to its close, so other threads wait; a thread
    that already holds it through a stream of its own is told so instead
    of waiting for itself."""

    def __init__(self):
        self._lock = threading.Lock()
        self._holder: int | None = None

    def take(self) -> None:
        if self._holder == threading.get_ident():
            raise RuntimeError("the sound card is in use by a stream of this thread; close it first")
        self._lock.acquire()
        self._holder = threading.get_ident()

    def give(self) -> None:
        self._holder = None
        self._lock.release()

    def __enter__(self) -> "_SoundTurn":
        self.take()
        return self

    def __exit__(self, *exc) -> None:
        self.give()


_sound_turn = _SoundTurn()


def _turn(source: str):
    return _sound_turn if source == "sound" else contextlib.nullcontext()


class Card:
    """One card type. Nothing is asked of the library until it is used.

    The first acquisition of a card type in a process prepares its source
    (the library's presence check: for the simulated source it starts
    ``genwave`` when no parameter block is published; see :meth:`check`).

    One acquisition of a kind runs at a time in a process: the library keeps
    a single simulated time base, sound capture and trigger flag. Codes
    below 0 (the library's second unit) are not supported here.
    """

    def __init__(self, card_type: int):
        card_type = int(card_type)
        if card_type < 0:
            raise ValueError("card type: negative codes (the second unit) are not supported")
        self.card_type = card_type
        self._source: str | None = None

    def __repr__(self) -> str:
        return f"kelmo.card({self.card_type})"

    @property
    def source(self) -> str:
        # Asked once: an export asked between a failed one and its exception
        # would take the failure's reason with it.
        if self._source is None:
            self._source = _source(self.card_type)
        return self._source

    @property
    def info(self) -> CardInfo:
        """The catalogue entry (:class:`CardInfo`); ValueError for a code
        the catalogue does not know."""
        if self.source == "sound":
            try:
                self.check()  # the full scale follows the recording volume the check reads
            except KelmoError:
                pass
        entry = _catalogue_entry(self.card_type)
        if entry is None:
            raise ValueError(f"card type {self.card_type} is not in the catalogue")
        return entry

    @property
    def word_bytes(self) -> int:
        return _word_bytes(self.card_type)

    # -- preparation -------------------------------------------------------------------------

    def check(self, force: bool = False) -> None:
        """Runs the library's presence check (once per process and card type
        unless ``force``); raises :class:`KelmoError` with the library's
        reason when the source cannot be used."""
        with _checked_lock:
            if self.card_type in _checked and not force:
                return
            text = create_string_buffer(131)
            status = c_int(0)
            with capture() as box:
                ok = lib.Checkcard(self.card_type, text, byref(status))
            if not ok:
                own = decode(text.value)
                raise failure(f"card type {self.card_type} cannot be used", "Checkcard", ([own] if own else []) + box,
                              card_type=self.card_type, text=own or "; ".join(box))
            report(box, "Checkcard")
            _checked.add(self.card_type)

    def divider(self, rate: float, channels: int = 1) -> tuple[int, float]:
        """The sampling divider for ``rate`` (Hz) and the rate it really gives.

        The simulated source and the sound card choose it themselves; a card
        behind the driver takes the divider whose read-back rate comes
        nearest (``channels``: how many channels share the card's clock).
        """
        rate = float(rate)
        if not (rate > 0 and math.isfinite(rate)):
            raise ValueError(f"rate: {rate!r} is not a sampling rate above 0")
        code, actual = c_uint32(0), c_double(0.0)
        if not lib.kelmo_card_divider(self.card_type, rate, int(channels), byref(code), byref(actual)):
            why = last_error()
            if lib.kelmo_card_rates(self.card_type, None, 0) <= 0:  # the source cannot say now
                raise failure(f"card type {self.card_type} cannot be used", "kelmo_card_rates", card_type=self.card_type)
            raise ValueError(f"rate {rate:g}: " + why.split(" failed: ", 1)[-1])
        if self.source in ("simulated", "sound"):
            # They run on the clock PreSamp sets.
            chosen, given = c_uint32(0), c_double(0.0)
            with capture() as box:
                ok = lib.PreSamp(self.card_type, rate, byref(chosen), byref(given))
            if not ok:
                raise failure("the unit's status block could not be created", "PreSamp", box, card_type=self.card_type)
            report(box, "PreSamp")
        return code.value, actual.value

    def _plan(self, channels, rate, gain, extra: Iterable[int] = ()) -> _Plan:
        wanted = _channel_list(channels)
        if rate is None:
            raise ValueError("rate: the sampling rate in Hz")
        gain = float(gain)
        if not gain >= 1 or gain != int(gain):
            # The exports take a whole gain; fractional catalogue gains
            # (0.5, 0.1 ...) have no code they could carry.
            raise ValueError(f"gain {gain!r}: a whole number of 1 or more")
        # A card type outside the catalogue (the 32-bit cards, for one) is
        # left to the device to refuse what it cannot do.
        info = self.info if self.source == "sound" else _catalogue_entry(self.card_type)
        for c in (*wanted, *extra):
            top = info.channels if info else 256
            if not 0 <= c < top:
                raise ValueError(f"channel {c}: card type {self.card_type} has channels 0 .. {top - 1}")
        if info and info.gains and not any(math.isclose(gain, g, rel_tol=1e-9) for g in info.gains):
            raise ValueError(f"gain {gain:g}: card type {self.card_type} offers {', '.join(f'{g:g}' for g in info.gains)}")
        # Only the simulated source takes a first channel; the driver and the
        # sound card always deliver channels 0 .. count - 1.
        span = (*wanted, *extra)
        first = min(span) if self.source == "simulated" else 0
        count = max(span) - first + 1
        self.check()
        divider, actual = self.divider(rate, count)
        gains = np.full(max(256, count), float(gain))  # per physical channel
        return _Plan(code=self.card_type, source=self.source, wanted=wanted, first=first, count=count,
                     rows=[c - first for c in wanted], divider=divider, rate=actual, gain=gain, gains=gains)

    def _failure(self, function: str, box: list[str], reason: str | None = None) -> KelmoError:
        """The exception of the export that has just failed (reads the
        library's reason, unless the thread that called it read it:
        no other export may run before)."""
        hint = {
            "simulated": "the simulated source has no parameter block (is genwave running?)",
            "sound": "the sound card delivered nothing (is the capture device there?)",
            "driver": "the device ZEB1 did not deliver",
        }[self.source]
        message = f"{function} failed for card type {self.card_type}" + ("" if box else f": {hint}")
        if reason is not None:
            return KelmoError(message, function=function, messages=tuple(box), reason=reason,
                              card_type=self.card_type)
        return failure(message, function, box, card_type=self.card_type)

    def _dtype(self, raw: bool):
        if not raw:
            return np.float64
        return np.int32 if self.word_bytes == 4 else np.int16

    # -- one block ---------------------------------------------------------------------------

    def acquire(self, channels: int | Sequence[int] = 1, samples: int = 1024, *, rate: float,
                gain: int = 1, raw: bool = False) -> Acquisition:
        """Acquires one block of ``samples`` samples per channel.

        ``channels``: a count (channels 0 .. count - 1) or a list of channel
        numbers, from 0. ``rate``: the wanted sampling rate in Hz; the rate
        the card really runs at is ``result.rate``. ``gain``: one of
        ``info.gains`` (a whole number). Returns an :class:`Acquisition` whose ``data`` has
        the shape (channels, samples): float64 engineering values, or with
        ``raw=True`` the raw words (int16; int32 for card types of 32-bit
        words; offset-binary cards' words read as ``data.view(np.uint16)``).
        The simulated source delivers in real time: the call returns after
        samples / rate seconds, while other Python threads go on running.
        """
        samples = int(samples)
        if samples < 1:
            raise ValueError("samples: 1 or more")
        p = self._plan(channels, rate, gain)
        buf = np.zeros((p.count, samples), dtype=self._dtype(raw))
        address = buf.ctypes.data
        if p.source == "sound":  # the Ex exports send 800 to the driver
            f = lib.MulChSamW if raw else lib.MulChSam
            call = lambda: f(p.code, as_int(p.divider), samples, int(p.gain), p.packed, address)  # noqa: E731
        else:
            f = lib.MulChSamWEx if raw else lib.MulChSamEx
            first = c_int(p.first)
            call = lambda: f(p.code, as_int(p.divider), samples, int(p.gain), p.count, address,  # noqa: E731
                             p.gains.ctypes.data, byref(first))
        with _turn(p.source):
            ok, box, why = _on_a_thread_of_its_own(call, keep=(buf, p, first if p.source != "sound" else None))
        name = f.__name__
        if not ok:
            raise self._failure(name, box, why)
        report(box, name)
        return Acquisition(data=buf[p.rows], rate=p.rate, channels=p.wanted, card_type=self.card_type, raw=raw)

    def _words(self, raw: ArrayLike) -> np.ndarray:
        """``raw`` as this card type's raw words (int16, int32 for card types
        of 32-bit words), refusing what is not such a word."""
        word = np.dtype(self._dtype(True))
        given = np.asarray(raw)
        if given.dtype == word:
            return np.ascontiguousarray(given)
        if given.dtype == np.dtype(f"u{word.itemsize}"):
            # The same words read unsigned (offset-binary cards): the bits are kept.
            return np.ascontiguousarray(given).view(word)
        numbers = given
        if given.dtype.kind == "O":  # Python ints beyond int64, for one
            try:
                numbers = given.astype(np.float64)
            except (TypeError, ValueError):
                raise ValueError("raw words: not all of them are numbers") from None
        elif given.dtype.kind not in "biuf":
            raise ValueError(f"raw words are numbers, not {given.dtype}")
        lo, hi = int(np.iinfo(word).min), int(np.iinfo(word).max)
        if numbers.dtype.kind == "f":
            with np.errstate(invalid="ignore"):
                bad = ~np.isfinite(numbers) | (numbers != np.floor(numbers)) | (numbers < lo) | (numbers > hi)
        elif numbers.dtype.kind == "u":
            bad = numbers.astype(np.uint64) > hi
        else:
            wide = numbers.astype(np.int64)
            bad = (wide < lo) | (wide > hi)
        if bad.any():
            first = int(np.flatnonzero(bad)[0])
            at = first if given.ndim <= 1 else tuple(int(i) for i in np.unravel_index(first, given.shape))
            value = given.flat[first]
            value = value.item() if isinstance(value, np.generic) else value
            raise ValueError(f"raw word {value!r} at index {at}: card type {self.card_type} "
                             f"takes whole numbers from {lo} to {hi}")
        return np.ascontiguousarray(numbers, dtype=word)

    def convert(self, raw: ArrayLike) -> np.ndarray:
        """Raw words of this card type as float64 engineering values.

        ``raw``: int16 words (int32 for card types of 32-bit words), or the
        same words read unsigned (uint16, uint32), or any numbers that are
        such words: whole and within the word's range. Anything else is
        refused with ValueError naming the first element that is no word.
        """
        words = self._words(raw)
        out = np.zeros(words.shape, dtype=np.float64)
        hi, lo = c_int(0), c_int(0)
        with capture() as box:
            lib.convert(self.card_type, out.ctypes.data, words.ctypes.data, words.size, 1, byref(hi), byref(lo))
        report(box, "convert")
        return out

    # -- continuous --------------------------------------------------------------------------

    def stream(self, channels: int | Sequence[int] = 1, *, rate: float, block: int = 1024, gain: int = 1,
               raw: bool = False, blocks: int | None = None, paced: bool = True) -> "Stream":
        """A continuous acquisition, block after block without a break.

        Use it as a context manager and iterate: each item is a
        :class:`Block` of ``block`` samples per channel (its ``data`` shaped
        as in :meth:`acquire`). The acquisition is stopped (``recover``)
        when the ``with`` ends, also by an exception or Ctrl-C. ``blocks``
        ends the iteration after that many blocks (default: never).
        A block whose ``gap`` is set follows lost samples: the host fetched
        too late for the card. ``stream.gaps`` counts them. The simulated
        source never loses samples; ``paced=False`` lets it deliver as fast
        as it computes (card type 123 only).
        """
        return Stream(self, channels, rate=rate, block=block, gain=gain, raw=raw, blocks=blocks, paced=paced)

    # -- in the background -------------------------------------------------------------------

    def record(self, path: str | PathLike[str] | None = None, *, channels: int | Sequence[int] = 1, rate: float,
               seconds: float | None = None, gain: int = 1, raw: bool = False,
               block: int | None = None, format: str | None = None, compress: bool = False,
               buffer: float = 4.0) -> Recording:
        """Starts a continuous acquisition on a thread of its own and returns
        at once, like python-sounddevice's ``rec``::

            rec = card.record(channels=2, rate=10_000, seconds=3)
            ...                                  # this thread goes on
            data = rec.wait()                    # (2, 30000): float64 values

        ``channels``, ``rate``, ``gain`` and ``raw`` are those of
        :meth:`acquire`. ``seconds``: how long to record (the samples per
        channel are ``round(seconds * rec.rate)``, the rate the card really
        runs at); None records until :meth:`Recording.stop`. ``block``:
        samples per channel of each fetch (default: a tenth of a second,
        within the sound card's limit). :meth:`Recording.wait` returns the
        samples as an array shaped (channels, samples) and raises whatever
        stopped the acquisition. With ``path`` the samples go to that file
        instead, as :meth:`Stream.record` writes it (``format``,
        ``compress``, ``buffer`` are its own), and :meth:`Recording.wait`
        returns the file's path once it is complete.
        """
        wanted = _channel_list(channels)
        rate = float(rate)
        if not (rate > 0 and math.isfinite(rate)):
            raise ValueError(f"rate: {rate!r} is not a sampling rate above 0")
        if seconds is not None:
            seconds = float(seconds)
            if not (seconds > 0 and math.isfinite(seconds)):
                raise ValueError(f"seconds: {seconds!r} is not a duration above 0 (None records until stop())")
        if block is None:
            block = max(1, round(rate / 10))
            most = lib.kelmo_block_limit(self.card_type, max(wanted) + 1)
            if most > 0:
                block = min(block, most)
            if seconds is not None:
                block = min(block, max(1, round(seconds * rate)))
        elif int(block) < 1:
            raise ValueError("block: 1 or more samples per channel")
        if path is not None:
            from .files import check_target

            check_target(path, format)  # refused here, not on the recording's thread
        return Recording(self, wanted, rate=rate, seconds=seconds, gain=gain, raw=raw, block=int(block),
                         path=path, file_options={"format": format, "compress": compress, "buffer": buffer})

    # -- playback ----------------------------------------------------------------------------

    def play(self, signal: ArrayLike, rate: float, *, full_scale: float | None = None, volume: float = 1.0) -> None:
        """Plays ``signal`` through the system's first output device and
        returns once it has played (the sound card, 800, only).

        ``signal``: one channel (shape (samples,) or (1, samples)) or two
        (shape (2, samples): left and right), laid out as :meth:`acquire`
        gives them. ``rate``: its sampling rate in Hz; the device runs at
        a standard rate (44100, 22050, 11025 or 8000 Hz): a signal at one of
        them plays as it is, the library resamples one far below 8000 Hz,
        and any other (48000 Hz, for one) is resampled here to the lowest
        standard rate at or above it (44100 Hz at most), so that it plays at
        its pitch and length. ``full_scale``: the
        value that plays at the device's full scale: by default 32768 for
        integer arrays (16-bit words) and 1.0 for any other (values in
        -1 .. 1). ``volume``: the device's volume, 0 .. 1. One playback at a
        time in a process: other threads wait their turn. The library is
        fed in pieces of at most 8192 values; Ctrl-C stops the playback.
        """
        if self.source != "sound":
            raise ValueError(f"card type {self.card_type}: only the sound card (800) plays")
        play(signal, rate, full_scale=full_scale, volume=volume)

    # -- triggered ---------------------------------------------------------------------------

    def trigger(self, level: float, slope: str = "rising", pre: int = 0, samples: int = 1024, *, rate: float,
                channels: int | Sequence[int] = 1, trigger_channel: int | None = None, gain: int = 1,
                timeout: float | None = None) -> Triggered:
        """Waits for a trigger on one channel, then returns ``samples``
        samples per channel, ``pre`` of them (0 .. 1023) from before it.

        ``slope``: "rising" (a sample above ``level`` after one at or below
        it), "falling" (the reverse) or "level" (a sample whose magnitude
        exceeds ``abs(level)``). ``level`` is in engineering units.
        ``trigger_channel`` defaults to the first of ``channels``.

        The wait ends with :class:`TriggerTimeout` after ``timeout``
        seconds, with :class:`TriggerInterrupted` when another thread calls
        :func:`kelmo.interrupt_trigger` (or another process the library's
        ``InterruptTrigSample``), and with KeyboardInterrupt on Ctrl-C in
        the main thread. Either takes effect within one block of 1024
        samples. One triggered acquisition runs at a time in a process.
        """
        global _current_wait
        if slope not in _SLOPES:
            raise ValueError(f"slope {slope!r}: one of {', '.join(_SLOPES)}")
        pre, samples = int(pre), int(samples)
        if not 0 <= pre < 1024:
            raise ValueError("pre: 0 .. 1023 samples before the trigger")
        if samples < 1:
            raise ValueError("samples: 1 or more")
        wanted = _channel_list(channels)
        trig = wanted[0] if trigger_channel is None else int(trigger_channel)
        p = self._plan(wanted, rate, gain, extra=(trig,))
        level = float(level)
        mode = _SLOPES[slope] * 1024 + pre
        out = np.zeros((p.count, samples), dtype=np.float64)
        # The sound card has no Ex start; 678 and 679 would arm their trigger
        # hardware for a single channel in the Ex variant.
        plain = p.source == "sound" or (_reduced(p.code) in (678, 679) and p.count == 1)
        with _trigger_lock:
            wait = _Wait(timeout)
            _current_wait = wait
            try:
                wait.start()
                with _turn(p.source), capture() as box:
                    if plain:
                        f = lib.TriMulChSam
                        result = f(mode, trig - p.first, level, p.code, as_int(p.divider), samples, int(p.gain),
                                   p.count, out.ctypes.data)
                    else:
                        f = lib.TriMulChSamEx
                        first = c_int(p.first)
                        result = f(mode, trig - p.first, level, p.code, as_int(p.divider), samples, int(p.gain),
                                   p.count, out.ctypes.data, p.gains.ctypes.data, byref(first))
            finally:
                # Ctrl-C is raised as soon as the call has returned, maybe in
                # here: each step runs whatever the one before it did.
                try:
                    _current_wait = None
                finally:
                    wait.finish()
        name = f.__name__
        if result == 0:
            report(box, name)
            return Triggered(data=out[p.rows], rate=p.rate, channels=p.wanted, card_type=self.card_type,
                             trigger_index=pre)
        if result == 1:
            newest = Acquisition(data=out[p.rows, :min(samples, _TRIGGER_BLOCK)], rate=p.rate,
                                 channels=p.wanted, card_type=self.card_type)
            if wait.timed_out:
                raise failure(f"no trigger within {timeout:g} s", name, box, error=TriggerTimeout, newest=newest,
                              card_type=self.card_type)
            raise failure("the triggered acquisition was interrupted", name, box, error=TriggerInterrupted,
                          newest=newest, card_type=self.card_type)
        if result == 4:
            raise failure("the trigger flag (shared memory) could not be made", name, box, card_type=self.card_type)
        raise self._failure(name, box)


# ---- the stream ----------------------------------------------------------------------------

class Stream:
    """A running continuous acquisition; see :meth:`Card.stream`."""

    def __init__(self, card: Card, channels, *, rate, block, gain, raw, blocks, paced):
        self.card = card
        self.block = int(block)
        if self.block < 1:
            raise ValueError("block: 1 or more samples per channel")
        if not paced and _reduced(card.card_type) != 123:
            raise ValueError("paced=False: only the simulated source of 16-bit words (123) runs unpaced")
        self._channels = channels
        self._rate = rate
        self._gain = gain
        self.raw = raw
        self.limit = blocks
        self.paced = paced
        self._handle = c_uint32(0)
        self._plan: _Plan | None = None
        self._turn = False  # holds the sound card's turn
        self._pid: int | None = None  # the process that started the acquisition
        self.running = False
        self.blocks_read = 0
        self.gaps = 0
        self._files: list = []  # the FileWriters every block goes to
        # A long block is fetched in slices of at most a tenth of a second,
        # so that Ctrl-C reaches the caller between two of them; what came
        # before the interrupt waits in the carry for the next read.
        self._slice = self.block
        self._carry = np.zeros((0, 0))
        self._have = 0          # samples per channel waiting in the carry
        self._gaps_at: list[int] = []  # where in the carry a slice followed lost samples
        self._fetching = None  # (thread, stop, outcome) of a fetch Ctrl-C cut short

    @property
    def rate(self) -> float:
        """The rate the card really runs at (Hz), once started."""
        return self._plan.rate if self._plan else float("nan")

    @property
    def channels(self) -> tuple[int, ...]:
        return _channel_list(self._channels)

    def _inherited(self) -> bool:
        """Whether this process did not start the running acquisition: it
        came over with os.fork() and is the parent's."""
        return self.running and self._pid != os.getpid()

    def _not_ours(self, what: str) -> RuntimeError:
        return RuntimeError(f"{what}: this stream's acquisition was started by process {self._pid} and belongs to "
                            f"it; this process ({os.getpid()}) came from it by fork() and starts a stream of its own")

    def start(self) -> "Stream":
        if self._inherited():
            raise self._not_ours("start")
        if self.running:
            return self
        p = self.card._plan(self._channels, self._rate, self._gain)
        most = lib.kelmo_block_limit(p.code, p.count)
        if 0 < most < self.block:
            raise ValueError(f"block: card type {p.code} takes at most {most} samples per channel in one block "
                             f"of {p.count} channel(s)")
        self._plan = p
        self._handle.value = 0
        self._slice = _slice_of(self.block, p.rate, self.paced)
        self._carry = np.zeros((p.count, self.block + self._slice), dtype=self.card._dtype(self.raw))
        self._have = 0
        self._gaps_at = []
        if p.source == "sound":
            _sound_turn.take()  # given back by close
            self._turn = True
        with capture() as box:
            if p.source == "sound":
                f = lib.Set_dbl_MulChSam
                ok = f(byref(self._handle), p.code, as_int(p.divider), int(p.gain), p.packed, self._slice)
            else:
                f = lib.Set_dbl_MulChSamEx
                first = c_int(p.first)
                ok = f(byref(self._handle), p.code, as_int(p.divider), int(p.gain), p.count, self._slice,
                       p.gains.ctypes.data, byref(first))
        # A refused start may still hold the device: it is stopped either way
        # (once the reason is read: recover would clear it).
        self._pid = os.getpid()
        self.running = True
        if not ok:
            error = self.card._failure(f.__name__, box)
            self.close()
            raise error
        report(box, f.__name__)
        self.blocks_read = 0
        self.gaps = 0
        return self

    def read(self) -> Block:
        """The next block (waits until it is complete). A block longer than
        a tenth of a second is fetched in slices on a thread of its own, so
        that Ctrl-C raises KeyboardInterrupt here within a tenth of a second
        however long the block is; the slices fetched by then are kept, and
        a read after the interrupt gives the block as it would have been."""
        if not self.running:
            raise RuntimeError("the stream is not running (use it in a with statement)")
        if self._inherited():
            raise self._not_ours("read")
        p = self._plan
        self._end_fetch()
        if self._slice >= self.block:
            self._fetch_slices()
        else:
            self._fetch_in_background()
        n = self.block
        buf = self._carry[:, :n].copy()
        rest = self._have - n
        self._carry[:, :rest] = self._carry[:, n:self._have]
        self._have = rest
        gap = any(at < n for at in self._gaps_at)
        self._gaps_at = [at - n for at in self._gaps_at if at >= n]
        self.gaps += gap
        b = Block(data=buf[p.rows], rate=p.rate, channels=p.wanted, card_type=self.card.card_type, raw=self.raw,
                  index=self.blocks_read, start=self.blocks_read * self.block, gap=gap)
        self.blocks_read += 1
        for f in self._files:
            f.write(b.data)
        return b

    def _fetch_slices(self, stop: threading.Event | None = None) -> None:
        """Slices into the carry until it holds a block (or ``stop`` is set)."""
        while self._have < self.block and not (stop is not None and stop.is_set()):
            self._fetch_slice()

    def _fetch_in_background(self) -> None:
        """The slices of a long block fetched on a thread of its own, waited
        for in short steps: Ctrl-C raises here at once, and the thread ends
        with the slice it is in, which stays in the carry."""
        stop, out = threading.Event(), {}

        def run():
            try:
                self._fetch_slices(stop)
            except BaseException as e:  # handed to the reading thread
                out["error"] = e

        t = threading.Thread(target=run, name="kelmo stream", daemon=True)
        self._fetching = (t, stop, out)
        t.start()
        try:
            while t.is_alive():
                t.join(0.1)
        except BaseException:
            stop.set()
            raise
        self._end_fetch()

    def _end_fetch(self, failures: bool = True) -> None:
        """Waits for a fetch that Ctrl-C cut short (a tenth of a second at
        most) and raises what it met."""
        if self._fetching is None:
            return
        t, stop, out = self._fetching
        stop.set()
        t.join()
        self._fetching = None
        if failures and "error" in out:
            raise out["error"]

    def _fetch_slice(self) -> None:
        """One block of the library's acquisition appended to the carry."""
        p = self._plan
        s = self._slice
        buf = np.zeros((p.count, s), dtype=self._carry.dtype)
        status = c_int(0)
        code = 1230 if not self.paced else p.code
        f = lib.get_dbl_dataW if self.raw else lib.get_dbl_data
        with capture() as box:
            ok = f(byref(self._handle), code, s, p.count, buf.ctypes.data, s, 0, byref(status))
            if ok:
                self._carry[:, self._have:self._have + s] = buf
                self._have += s
        if not ok:
            raise self.card._failure(f.__name__, box)
        report(box, f.__name__)
        # The device sets the status word when the host fetched a block
        # later than the card could keep it: samples were lost before it.
        if status.value != 0:
            self._gaps_at.append(self._have - s)

    def record(self, path: str | PathLike[str], *, format: str | None = None, compress: bool = False,
               buffer: float = 4.0):
        """Writes every block read from now on to ``path`` as well, in the
        format its extension names (``format``: one of
        :func:`kelmo.files.formats`, "h5", "npy", "csv", "wav", "flac",
        "sr", where the writers were built with its library; any other, or a
        path with a NUL byte, is refused with ValueError) with the
        acquisition's facts inside, as ``kelmo acquire -o`` writes it.
        ``compress``: gzip with shuffle where the format can (HDF5);
        ``buffer``: the seconds of samples that may wait for a slow disk.
        A raw stream records the raw words with the scale and offset that
        give their values (HDF5 and .npy). The file is completed when the
        stream stops (or when the returned :class:`kelmo.files.FileWriter`
        is closed); a write that fails raises :class:`KelmoError` from
        :meth:`read`. Starts the stream if it is not running."""
        f = self._file(path, format=format, compress=compress, buffer=buffer)
        self._files.append(f)
        return f

    def _file(self, path, **options):
        """A file for this stream's blocks, not fed by read()."""
        from .files import FileWriter

        if not self.running:
            self.start()
        p = self._plan
        entry = _catalogue_entry(self.card.card_type)
        return FileWriter(path, rate=p.rate, channels=p.wanted, card_type=self.card.card_type,
                          full_scale=entry.full_scale if entry else 0.0, gain=int(p.gain), divider=p.divider,
                          raw_bytes=self.card.word_bytes if self.raw else 0, **options)

    def close(self) -> None:
        """Stops the acquisition (``recover``); safe to call more than once.
        In a process made by os.fork() from the one that started it, the
        acquisition goes on there: this process only forgets it (and its
        files, which the starting process completes)."""
        if not self.running:
            return
        if self._inherited():
            self.running = False
            self._handle.value = 0
            self._files = []
            self._fetching = None  # (its thread stayed with the parent)
            if self._turn:
                self._turn = False
                _sound_turn.give()
            return
        self._end_fetch(failures=False)
        with capture() as box:
            lib.recover(byref(self._handle), self._plan.code)
        # Marked stopped only once recover has run: should Ctrl-C land
        # before it, the stream is still stopped when it is collected.
        self.running = False
        self._handle.value = 0
        if self._turn:
            self._turn = False
            _sound_turn.give()
        files, self._files = self._files, []
        failed = None
        for f in files:
            try:
                f.close()
            except KelmoError as e:
                failed = failed or e
        report(box, "recover")
        if failed is not None:
            raise failed

    def __enter__(self) -> "Stream":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()

    def __iter__(self) -> Iterator[Block]:
        owned = not self.running
        if owned:
            self.start()
        try:
            while self.running and (self.limit is None or self.blocks_read < self.limit):
                yield self.read()
        finally:
            if owned:
                self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass


# ---- interrupting a triggered acquisition --------------------------------------------------

_trigger_lock = threading.Lock()
_current_wait: "_Wait | None" = None


class _Wait:
    """Ends the library's trigger wait when asked, at the time-out or on
    Ctrl-C: a helper thread raises the trigger flag (InterruptTrigSample)
    until the call has returned. The flag is raised again and again because
    the library clears it when its acquisition starts, which may come after
    the first request."""

    def __init__(self, timeout: float | None):
        if timeout is not None and not timeout >= 0:
            raise ValueError("timeout: seconds, 0 or more")
        self.timeout = timeout
        self.stop = threading.Event()
        self.done = threading.Event()
        self.timed_out = False
        self._thread = None
        self._wake = None
        self._old_fd = None

    def start(self):
        self._watch_signals()
        self._thread = threading.Thread(target=self._run, name="kelmo-trigger-wait", daemon=True)
        self._thread.start()

    def _watch_signals(self):
        # Ctrl-C reaches Python only when the call returns; the wake-up fd
        # lets the helper see it and end the wait. Only in the main thread,
        # and only when nobody else uses the wake-up fd.
        if threading.current_thread() is not threading.main_thread():
            return
        try:
            r, w = socket.socketpair()
            r.setblocking(False)
            w.setblocking(False)
            old = signal.set_wakeup_fd(w.fileno(), warn_on_full_buffer=False)
        except (ValueError, OSError):
            return
        if old != -1:
            signal.set_wakeup_fd(old)
            r.close()
            w.close()
            return
        self._wake = (r, w)

    def _run(self):
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        while not self.done.is_set() and not self.stop.is_set():
            if deadline is not None and time.monotonic() >= deadline:
                self.timed_out = True
                break
            step = 0.05 if deadline is None else max(0.0, min(0.05, deadline - time.monotonic()))
            if self._wake is None:
                self.stop.wait(step)
                continue
            try:
                ready, _, _ = select.select([self._wake[0]], [], [], step)
                if ready and int(signal.SIGINT) in self._wake[0].recv(64):
                    break
            except OSError:
                self._wake = None
        while not self.done.is_set():
            lib.InterruptTrigSample()
            self.done.wait(0.02)

    def finish(self):
        try:
            self.done.set()
        finally:
            try:
                if self._wake is not None:
                    signal.set_wakeup_fd(-1)
            finally:
                try:
                    if self._thread is not None:
                        self._thread.join()
                finally:
                    if self._wake is not None:
                        for s in self._wake:
                            s.close()
                        self._wake = None


def interrupt_trigger() -> bool:
    """Ends the wait of a triggered acquisition: the one of this process
    (waiting in another thread), else one of another process that shares
    this process's shared-memory names. True when one was waiting."""
    w = _current_wait
    if w is not None:
        w.stop.set()
    with capture():
        r = lib.InterruptTrigSample()
    return bool(r) or w is not None
