"""Exceptions of the kelmo package."""

from __future__ import annotations


class KelmoError(RuntimeError):
    """A call into the library failed.

    ``str(error)`` names the call and, where the library said why, its own
    text. ``messages`` holds every text the library gave during the call
    (message boxes and console lines, decoded from GBK), ``function`` the
    export that failed and ``card_type`` the card type it was called for.
    """

    def __init__(self, message: str, *, function: str | None = None, card_type: int | None = None,
                 messages: tuple[str, ...] = ()):
        self.function = function
        self.card_type = card_type
        self.messages = tuple(messages)
        text = message
        if self.messages:
            text += ": " + "; ".join(self.messages)
        super().__init__(text)


class LibraryNotFoundError(OSError):
    """No copy of the library could be loaded; ``tried`` lists every attempt."""

    def __init__(self, tried: list[tuple[str, str]]):
        self.tried = list(tried)
        lines = ["cannot load the kelmo library; tried:"]
        lines += [f"  {where}: {why}" for where, why in self.tried]
        lines.append("set KELMO_LIBRARY to the full path of libkelmo.so.0 (kelmo.dll on Windows), "
                     "or copy the library into the kelmo package directory")
        super().__init__("\n".join(lines))


class TriggerInterrupted(KelmoError):
    """A triggered acquisition was ended before its trigger came.

    ``newest`` is what the acquisition had seen last: per channel the newest
    block of up to 1024 samples (an :class:`~kelmo.Acquisition`).
    """

    def __init__(self, message: str, newest=None, **kw):
        super().__init__(message, **kw)
        self.newest = newest


class TriggerTimeout(TriggerInterrupted, TimeoutError):
    """The trigger did not come within the time-out of :meth:`kelmo.Card.trigger`."""
