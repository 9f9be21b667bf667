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

The library is loaded on first use: from ``$KELMO_LIBRARY``, from a copy
beside this module, or from the system's search path.
"""

from ._lib import library_path
from .acquisition import (Acquisition, Block, Card, CardInfo, Stream, Triggered, card, cards,
                          interrupt_trigger)
from .errors import KelmoError, LibraryNotFoundError, TriggerInterrupted, TriggerTimeout
from .numeric import Spline, mem_coefficients, mem_spectrum, spline

__version__ = "0.1.0"

__all__ = [
    "Acquisition", "Block", "Card", "CardInfo", "KelmoError", "LibraryNotFoundError", "Spline", "Stream",
    "Triggered", "TriggerInterrupted", "TriggerTimeout", "card", "cards", "interrupt_trigger",
    "library_path", "mem_coefficients", "mem_spectrum", "spline",
]
