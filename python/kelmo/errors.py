"""Exceptions of the kelmo package."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .acquisition import Acquisition


class KelmoError(RuntimeError):
    """A call into the library failed.

    ``str(error)`` is the library's reason (``kelmo_last_error``): one
    English sentence that names the export that failed, the cause and what
    to do, for example "MulChSamEx failed: no acquisition device is served
    at /run/user/1000/kelmo/ZEB1; start zebsim or the driver service".
    ``reason`` holds the same sentence ("" where the library gave none; the
    message then names the call, and the library's text if any).

    ``text`` is the library's own text of the failure, decoded from GBK
    (often Chinese): Checkcard's text, else the message boxes and console
    lines of the call joined by "; "; "" when it said nothing.
    ``messages`` holds every text the library gave during the call, one by
    one, ``function`` the export that failed and ``card_type`` the card
    type it was called for.
    """

    # Whether str() is the library's reason when there is one (the package's
    # own words describe an interrupted trigger wait better).
    _reason_first = True

    def __init__(self, message: str, *, function: str | None = None, card_type: int | None = None,
                 messages: tuple[str, ...] = (), reason: str = "", text: str | None = None):
        self.function = function
        self.card_type = card_type
        self.messages = tuple(messages)
        self.reason = reason
        self.text = "; ".join(self.messages) if text is None else text
        if reason and self._reason_first:
            shown = reason
        else:
            shown = message + (": " + self.text if self.text else "")
        super().__init__(shown)


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

    _reason_first = False

    def __init__(self, message: str, newest: "Acquisition | None" = None, **kw):
        super().__init__(message, **kw)
        self.newest = newest


class TriggerTimeout(TriggerInterrupted, TimeoutError):
    """The trigger did not come within the time-out of :meth:`kelmo.Card.trigger`."""


class SoundCardMissing(UserWarning):
    """Warned by :func:`kelmo.cards` with ``sound=True`` when it leaves the
    sound card (800) out: ``reason`` says why, in the library's words, and
    ``error`` is the :class:`KelmoError` of the failed check (None when the
    check passed but the catalogue has no entry for the device)."""

    def __init__(self, reason: str, error: KelmoError | None = None):
        super().__init__(f"the sound card (800) is left out: {reason}")
        self.reason = reason
        self.error = error
