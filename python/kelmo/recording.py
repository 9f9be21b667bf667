"""A continuous acquisition on a thread of its own: Card.record."""

from __future__ import annotations

import atexit
import contextlib
import os
import threading
import weakref
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from .acquisition import Card

# Recordings still running when the interpreter exits are stopped, so that
# their acquisitions end with recover rather than with the process.
_running: "weakref.WeakSet[Recording]" = weakref.WeakSet()


@atexit.register
def _stop_all() -> None:
    for r in list(_running):
        r.stop()


class Recording:
    """A continuous acquisition running on a thread of its own; made by
    :meth:`kelmo.Card.record`.

    :meth:`wait` returns the samples, shaped (channels, samples), once the
    recording has its seconds (or has been stopped) and raises whatever
    ended it early; :meth:`stop` ends it sooner. ``rate`` is the rate the
    card really runs at (NaN until the acquisition has started), ``gaps``
    counts the blocks that followed lost samples. Used in a ``with``
    statement, the recording is stopped when the statement ends.
    """

    def __init__(self, card: "Card", channels: tuple[int, ...], *, rate: float, seconds: float | None, gain: int,
                 raw: bool, block: int, path=None, file_options: dict | None = None):
        # The arguments as Card.record checked them.
        self.card = card
        self.channels = channels
        self.seconds = seconds
        self.block = block
        self.raw = raw
        self.rate = float("nan")
        self.gaps = 0
        self._rate = rate
        self._gain = gain
        self.path = None if path is None else os.fspath(path)
        self._file_options = file_options or {}
        self._pieces: list[np.ndarray] = []
        self._error: BaseException | None = None
        self._stop = threading.Event()
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, name=f"kelmo-record-{card.card_type}", daemon=True)
        _running.add(self)
        self._thread.start()

    def _run(self) -> None:
        try:
            with self.card.stream(self.channels, rate=self._rate, block=self.block, gain=self._gain,
                                  raw=self.raw) as s:
                self.rate = s.rate
                with contextlib.ExitStack() as files:
                    # completed also when the acquisition fails: the file keeps what came before
                    file = None if self.path is None else files.enter_context(s._file(self.path, **self._file_options))
                    wanted = None if self.seconds is None else max(1, round(self.seconds * s.rate))
                    got = 0
                    while not self._stop.is_set() and (wanted is None or got < wanted):
                        b = s.read()
                        keep = b.samples if wanted is None else min(b.samples, wanted - got)
                        if file is None:
                            self._pieces.append(b.data[:, :keep])
                        else:
                            file.write(b.data[:, :keep])
                        got += keep
                        self.gaps = s.gaps
        except BaseException as e:  # handed to wait()
            self._error = e
        finally:
            self._done.set()
            _running.discard(self)

    @property
    def done(self) -> bool:
        """Whether the recording has ended (its seconds are in, it was
        stopped, or it failed)."""
        return self._done.is_set()

    def wait(self, timeout: float | None = None):
        """Waits until the recording ends and returns its samples as an array
        shaped (channels, samples): float64 engineering values, or with
        ``raw=True`` the raw words; a recording into a file returns the
        file's path instead. Raises what ended the recording early
        (a :class:`kelmo.KelmoError`, for one), and TimeoutError when
        ``timeout`` seconds pass first (the recording goes on). Ctrl-C while
        waiting stops the recording."""
        try:
            ended = self._done.wait(timeout)
        except KeyboardInterrupt:
            self.stop()
            raise
        if not ended:
            raise TimeoutError(f"the recording did not end within {timeout:g} s")
        if self._error is not None:
            raise self._error
        return self.path if self.path is not None else self.data

    def stop(self) -> None:
        """Ends the recording after the block being fetched (at most one
        block's time) and waits until its acquisition has stopped; the
        samples so far stay for :meth:`wait`."""
        self._stop.set()
        if self._thread is not threading.current_thread():
            self._thread.join()

    @property
    def data(self) -> np.ndarray:
        """The samples recorded so far, shaped (channels, samples)."""
        pieces = list(self._pieces)
        if not pieces:
            return np.zeros((len(self.channels), 0), dtype=self.card._dtype(self.raw))
        return np.concatenate(pieces, axis=1)

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "done" if self.done else "running"
        return f"<kelmo.Recording of card type {self.card.card_type}, channels {self.channels}, {state}>"
