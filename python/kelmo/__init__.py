"""kelmo: sampled analogue signals from the kelmo acquisition library.

A thin layer over the library's C exports (through ctypes) that gives numpy
arrays and raises exceptions::

    import kelmo
    sim = kelmo.card(123)                      # the simulated source
    r = sim.acquire(channels=[0, 1], samples=4096, rate=10_000)
    r.data.shape, r.rate                       # (2, 4096), 10000.0
    with sim.stream(channels=2, rate=10_000, block=1024) as s:
        for block in s:
            ...                                # block.data: (2, 1024)
    rec = sim.record(channels=2, rate=10_000, seconds=1)  # returns at once
    rec.wait().shape                           # (2, 10000)
    kelmo.card(800).play(tone, 44100)          # through the first output device

The library is loaded on first use: from ``$KELMO_LIBRARY``, from a copy
beside this module (a wheel's), from the prefix ``cmake --install`` put
this package in, or from the system's search path.
"""

from ._lib import library_path, library_version
from .acquisition import (Acquisition, Block, Card, CardInfo, Stream, Triggered, card, cards,
                          interrupt_trigger)
from .errors import KelmoError, LibraryNotFoundError, SoundCardMissing, TriggerInterrupted, TriggerTimeout
from .numeric import Spline, mem_coefficients, mem_spectrum, spline
from .recording import Recording

__version__ = "0.1.0"

__all__ = [
    "Acquisition", "Block", "Card", "CardInfo", "KelmoError", "LibraryNotFoundError", "Recording",
    "SoundCardMissing", "Spline", "Stream", "Triggered", "TriggerInterrupted", "TriggerTimeout", "card", "cards",
    "interrupt_trigger", "library_path", "library_version", "mem_coefficients", "mem_spectrum", "spline",
]
