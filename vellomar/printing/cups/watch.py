"""Told when readiness changes: ``watch_readiness()`` yields the answer of
``check_readiness()`` at once, then again each time the verdict, or any
destination's state, reasons, queued jobs or printer's own answer, changes.

How it learns of changes, without asking for every queue again:

- It subscribes at the scheduler (Create-Printer-Subscriptions) to printer
  and job events and server restarts, with a short lease that it renews.
  A process holds one subscription per scheduler, however many watches it
  has; the last watch to close cancels it.
- For a scheduler on this host, when this build has libdbus and the system
  bus answers, the subscription's recipient is the scheduler's D-Bus
  notifier, whose signals arrive at once. Otherwise it is a pull
  subscription, and a Get-Notifications with the last sequence number is
  sent every ``poll_interval`` seconds: a small request that answers nothing
  when nothing happened.
- After events, coalesced for as long as more keep coming within 100 ms, it
  asks the scheduler again: an event's own attributes can be older than a
  fresh answer.
- The printers, and the default destination (no event exists for it), are
  asked again every ``printer_interval`` seconds, without asking the
  scheduler for its queues.
- When the scheduler cannot be reached, it yields the not-ready answer that
  says so and tries again with a growing pause (1 s to 30 s).

``watch_readiness_async()`` is its asyncio twin, and ``check_readiness_async()``
an awaitable ``check_readiness()``; neither blocks the event loop.
"""

from __future__ import annotations

import asyncio
import atexit
import dataclasses
import functools
import os
import threading
import time
import urllib.parse
import weakref
from dataclasses import dataclass
from typing import Any, AsyncIterator, Dict, Iterator, List, Mapping, Optional, Tuple

from .readiness import (IppModule, Readiness, SetupModule, _ask, _load_ipp,
                        check_readiness)

__all__ = ["Change", "changes", "check_readiness_async", "watch_readiness",
           "watch_readiness_async"]

# IPP operations (RFC 3995, RFC 3996).
_CREATE_PRINTER_SUBSCRIPTIONS = 0x0016
_RENEW_SUBSCRIPTION = 0x001A
_CANCEL_SUBSCRIPTION = 0x001B
_GET_NOTIFICATIONS = 0x001C
_SUBSCRIPTION_GROUP = 6
_EVENT_GROUP = 7
_NOT_FOUND = 0x0406

_EVENTS = ["printer-state-changed", "printer-added", "printer-deleted", "printer-modified",
           "printer-config-changed", "job-created", "job-completed", "job-state-changed",
           "server-restarted", "server-started", "server-stopped"]

# A watcher that was killed holds its subscription until the lease ends (a
# scheduler keeps 100 at most), so leases are short and renewed at a third.
_LEASE = 120
# Get-Notifications over the local socket or loopback costs well under a
# millisecond of CPU at each end (bench/watch.py): once a second is an idle
# cost below 0.1% of a core. A scheduler on another host is asked less often.
_LOCAL_POLL = 1.0
_REMOTE_POLL = 5.0
_COALESCE = 0.1  # events closer than this are one burst
# With the bus, the scheduler is asked for its events now and then all the
# same: an event that no signal announced within _BUS_LATE means that the
# notifier's bus is not this process's.
_BUS_CHECK = 10.0
_BUS_LATE = 2
_LONGEST_BURST = 1.0  # an endless stream of events is asked about once a second
_SLICE = 0.5  # how soon a closed watch notices while another waits for events
_RETRY_FIRST = 1.0
_RETRY_LONGEST = 30.0
_REQUEST_LIMIT = 5.0  # one subscription request, at most
# A printer's subscription is asked on the watch's own thread, between its
# waits for the scheduler's events: a printer that is slow to answer may
# hold that thread at most this long, and is then left for a while.
_PRINTER_LIMIT = 2.0
# A printer that takes subscriptions (a print server, say) tells of these.
_PRINTER_EVENTS = ["printer-state-changed", "printer-config-changed"]
_LARGEST_SEQUENCE = 2 ** 31 - 2

_DEFAULT_BUS = "unix:path=/var/run/dbus/system_bus_socket"


def _older_than(groups: List[Any], events: List[Dict[str, Any]], seconds: int) -> bool:
    """Whether one of the events happened at least seconds before the
    answer (by the scheduler's printer-up-time, its clock for both)."""
    now = [value for tag, group in groups if tag == 1
           for value in group.get("printer-up-time", [])[:1] if isinstance(value, int)]
    if not now:
        return True
    return any(isinstance(value, int) and now[0] - value >= seconds
               for group in events for value in group.get("printer-up-time", [])[:1])


class _Unreachable(Exception):
    """The scheduler could not be asked about its subscription."""


def _subscription_id(status: int, groups: List[Any]) -> Optional[int]:
    if status >= 0x0400:
        return None
    for tag, group in groups:
        values = group.get("notify-subscription-id", []) if tag == _SUBSCRIPTION_GROUP else []
        if len(values) == 1 and isinstance(values[0], int) and values[0] > 0:
            return int(values[0])
    return None


class _Subscription:
    """The one subscription of this process at one scheduler, shared by its
    watches. Whichever watch waits first listens for events (on the bus, or
    by asking); the others wait on the condition. ``generation`` grows by
    one for each burst of news, so each watch sees what happened since it
    last looked."""

    def __init__(self, key: Tuple[str, int], ipp: Any, local: bool, poll_interval: float,
                 printer_uri: Optional[str] = None) -> None:
        self.key = key
        self.ipp = ipp
        self.local = local and printer_uri is None
        # A printer's own subscription (printer_uri), or the scheduler's.
        self.printer_uri = printer_uri
        self.retry_at = 0.0
        self.retry_pause = _RETRY_FIRST
        self.poll_interval = poll_interval
        self.users = 0
        self.generation = 0
        self.id: Optional[int] = None
        self.method = ""
        self.sequence = 0  # the last event's number
        self.renew_at = 0.0
        self.next_poll = 0.0
        self.failed = False  # the last try to subscribe or ask failed
        self.cancelled = False
        self.heard = False  # a signal came since the last Get-Notifications
        self.bus: Any = None
        self._condition = threading.Condition()
        self._leading = False
        self._change_lock = threading.Lock()  # one request about the subscription at a time

    # ---- the scheduler's side ----------------------------------------------

    def _request(self, operation: int, attributes: List[Any],
                 limit: float = _REQUEST_LIMIT) -> Tuple[int, List[Any]]:
        attributes = [("printer-uri", "uri", self.printer_uri or "ipp://localhost/")] + attributes
        try:
            if self.printer_uri is None:
                status, groups = self.ipp.request(operation, attributes, timeout=limit)
            else:
                status, groups = self.ipp.request(operation, attributes, uri=self.printer_uri,
                                                  timeout=min(limit, _PRINTER_LIMIT))
        except (OSError, ValueError, OverflowError) as error:
            raise _Unreachable(str(error)) from None
        return status, groups

    def _subscribe(self) -> None:
        events = [(_SUBSCRIPTION_GROUP, "notify-events", "keyword",
                   _PRINTER_EVENTS if self.printer_uri else _EVENTS),
                  (_SUBSCRIPTION_GROUP, "notify-lease-duration", "integer", _LEASE)]
        if self.local and self._open_bus():
            status, groups = self._request(_CREATE_PRINTER_SUBSCRIPTIONS, [
                (_SUBSCRIPTION_GROUP, "notify-recipient-uri", "uri", "dbus://")] + events)
            subscription = _subscription_id(status, groups)
            if subscription is not None:
                self._subscribed(subscription, "dbus")
                return
            self._close_bus()  # no D-Bus notifier at this scheduler
        status, groups = self._request(_CREATE_PRINTER_SUBSCRIPTIONS, [
            (_SUBSCRIPTION_GROUP, "notify-pull-method", "keyword", "ippget")] + events)
        subscription = _subscription_id(status, groups)
        if subscription is None:
            raise _Unreachable("the scheduler refused the subscription (status 0x%04x)" % status)
        self._subscribed(subscription, "ippget")

    def _subscribed(self, subscription: int, method: str) -> None:
        self.id, self.method, self.sequence = subscription, method, 0
        self.heard = False
        self.renew_at = time.monotonic() + _LEASE / 3
        self.next_poll = time.monotonic() + (_BUS_CHECK if method == "dbus" else
                                             self.poll_interval)

    def _open_bus(self) -> bool:
        listener_type = getattr(self.ipp, "BusListener", None)
        if listener_type is None:
            return False
        if self.bus is not None and not self.bus.closed:
            return True
        address = os.environ.get("DBUS_SYSTEM_BUS_ADDRESS") or _DEFAULT_BUS
        try:
            self.bus = listener_type(address, 2.0)
        except (ConnectionError, ValueError):
            self.bus = None
        return self.bus is not None

    def _close_bus(self) -> None:
        if self.bus is not None:
            self.bus.close()
            self.bus = None

    def _renew(self) -> None:
        status, _ = self._request(_RENEW_SUBSCRIPTION, [
            ("notify-subscription-id", "integer", self.id),
            (_SUBSCRIPTION_GROUP, "notify-lease-duration", "integer", _LEASE)])
        if status >= 0x0400:  # gone: expired, or the scheduler restarted without it
            self.id = None
            return
        self.renew_at = time.monotonic() + _LEASE / 3

    def _pull(self) -> bool:
        """Get-Notifications: whether anything happened (or may have). The
        scheduler keeps a subscription's events whatever its recipient, so
        this also tells whether the bus brought each of them."""
        if self.sequence >= _LARGEST_SEQUENCE:
            # A sequence that cannot be asked past: start again.
            self._request(_CANCEL_SUBSCRIPTION, [("notify-subscription-id", "integer", self.id)])
            self.id = None
            return True
        attributes = [("notify-subscription-ids", "integer", self.id),
                      ("notify-sequence-numbers", "integer", self.sequence + 1)]
        if self.method != "dbus":
            # Held until an event where a server holds it (a scheduler
            # answers at once), and then asked again at once.
            attributes.append(("notify-wait", "boolean", 1))
        status, groups = self._request(_GET_NOTIFICATIONS, attributes,
                                       _REQUEST_LIMIT + self.poll_interval)
        now = time.monotonic()
        self.next_poll = now + (_BUS_CHECK if self.method == "dbus" else self.poll_interval)
        if status >= 0x0400:
            self.id = None
            return True
        events = [group for tag, group in groups if tag == _EVENT_GROUP]
        numbers = [number for group in events
                   for number in group.get("notify-sequence-number", [])[:1]
                   if isinstance(number, int) and not isinstance(number, bool)]
        if not numbers:
            return False
        # A gap (events the scheduler no longer had) or news: asking again
        # covers both; the numbers only say where to go on from.
        self.sequence = max(self.sequence, min(max(numbers), _LARGEST_SEQUENCE))
        if self.method != "dbus":
            return True
        heard, self.heard = self.heard, False
        if not heard and _older_than(groups, events, _BUS_LATE):
            # Events that no signal announced: the notifier's bus is not the
            # one this process reaches (another host's, or a container's).
            # Asking on the interval finds them from now on.
            self.method = "ippget"
            self._close_bus()
            self.next_poll = now + self.poll_interval
        # News all the same, even if a signal told of it: a signal may have
        # come from another sender, and its own event be still unseen.
        return True

    def _cancel(self) -> None:
        self.cancelled = True
        subscription, self.id = self.id, None
        self._close_bus()
        if subscription is not None:
            try:
                self._request(_CANCEL_SUBSCRIPTION, [
                    ("notify-subscription-id", "integer", subscription)])
            except _Unreachable:
                pass  # its lease ends it

    # ---- the watches' side -------------------------------------------------

    def wait(self, seen: int, until: float) -> int:
        """The generation, once it is past seen or until has come. Raises
        _Unreachable when the scheduler cannot be asked."""
        with self._condition:
            while self.generation == seen:
                left = until - time.monotonic()
                if left <= 0:
                    return self.generation
                if not self._leading:
                    self._leading = True
                    break
                self._condition.wait(left)
            else:
                return self.generation
        news = False
        try:
            news = self._listen(until)
        finally:
            with self._condition:
                self._leading = False
                if news:
                    self.generation += 1
                self._condition.notify_all()
        with self._condition:
            return self.generation

    def _listen(self, until: float) -> bool:
        """Whether anything happened, or may have: a new subscription, or
        the first answer after a failure (the scheduler may have restarted)."""
        try:
            news = self._listen_once(until)
        except _Unreachable:
            self.failed = True
            raise
        if self.failed and not self.cancelled:
            self.failed = False
            return True
        return news

    def _listen_once(self, until: float) -> bool:
        with self._change_lock:
            if self.cancelled:
                return False
            if self.id is None:
                self._subscribe()
                return True  # what happened while there was none is not known
            if time.monotonic() >= self.renew_at:
                self._renew()
                if self.id is None:
                    return True
        now = time.monotonic()
        if self.method == "dbus" and now < self.next_poll and self.bus is not None:
            timeout = max(0.0, min(until, self.renew_at, self.next_poll) - now)
            try:
                heard = bool(self.bus.wait(timeout) > 0)
            except ConnectionError:
                with self._change_lock:
                    if not self.cancelled:
                        # The subscription's events can still be asked for.
                        self.method = "ippget"
                        self._close_bus()
                return True
            self.heard = self.heard or heard
            return heard
        if self.method != "dbus" and now < self.next_poll:
            time.sleep(max(0.0, min(until, self.next_poll, self.renew_at) - now))
            if time.monotonic() < self.next_poll:
                return False
        with self._change_lock:
            return False if self.cancelled else self._pull()

    def poll_if_due(self) -> int:
        """For a printer's subscription, which nobody waits on: makes,
        renews or asks it when that is due, without waiting. Returns the
        generation. A printer that does not answer is asked again after a
        pause that grows to 30 s; meanwhile the printer interval covers it."""
        with self._change_lock:
            now = time.monotonic()
            if self.cancelled or now < self.retry_at:
                return self.generation
            try:
                news = False
                if self.id is None:
                    self._subscribe()
                    news = True
                elif now >= self.renew_at:
                    self._renew()
                    news = self.id is None
                elif now >= self.next_poll:
                    news = self._pull()
                self.retry_pause = _RETRY_FIRST
            except _Unreachable:
                self.id = None
                self.retry_at = now + self.retry_pause
                self.retry_pause = min(self.retry_pause * 2, _RETRY_LONGEST)
                return self.generation
            if news:
                with self._condition:
                    self.generation += 1
            return self.generation

    def refresh(self, renew: bool = True) -> int:
        """Renews the subscription (unless renew is false), or makes it anew:
        at a watch's start, after a failure, or while the scheduler was not
        reached. Returns the generation, past which the watches learn that a
        new one was made."""
        with self._change_lock:
            if not self.cancelled and (renew or self.id is None):
                made = self.id is None
                try:
                    if not made:
                        self._renew()
                        made = self.id is None
                    if made:
                        self._subscribe()
                except _Unreachable:
                    self.failed = True
                    raise
                self.failed = False
                if made:
                    with self._condition:
                        self.generation += 1
                        self._condition.notify_all()
        with self._condition:
            return self.generation


_subscriptions: Dict[Tuple[str, int], _Subscription] = {}
_registry_lock = threading.Lock()


def _take(server: str, ipp: Any, local: bool, poll_interval: float,
          printer_uri: Optional[str] = None) -> _Subscription:
    key = (printer_uri or server, os.getpid())  # a forked child subscribes anew
    with _registry_lock:
        subscription = _subscriptions.get(key)
        if subscription is None or subscription.ipp is not ipp:
            subscription = _Subscription(key, ipp, local, poll_interval, printer_uri)
            if key not in _subscriptions:
                _subscriptions[key] = subscription
        subscription.users += 1
        subscription.poll_interval = min(subscription.poll_interval, poll_interval)
        return subscription


def _give_back(subscription: _Subscription) -> None:
    with _registry_lock:
        subscription.users -= 1
        if subscription.users > 0:
            return
        if _subscriptions.get(subscription.key) is subscription:
            del _subscriptions[subscription.key]
    if subscription.key[1] == os.getpid():
        with subscription._change_lock:
            subscription._cancel()


def _give_back_all(held: List[_Subscription]) -> None:
    while held:
        _give_back(held.pop())


@atexit.register
def _cancel_all() -> None:
    with _registry_lock:
        left = [s for s in _subscriptions.values() if s.key[1] == os.getpid()]
        _subscriptions.clear()
    for subscription in left:
        subscription._cancel()


# ---- what changed -----------------------------------------------------------

@dataclass(frozen=True)
class Change:
    """One difference between two answers: about a destination (or, with
    destination None, about the scheduler or the verdict), in words."""

    destination: Optional[str]
    what: str


def _reasons_text(reasons: Any) -> str:
    return ",".join(r.keyword for r in reasons) or "none"


def changes(before: Readiness, after: Readiness) -> List[Change]:
    """What differs between two answers, destination by destination."""
    found: List[Change] = []
    if before.scheduler != after.scheduler:
        found.append(Change(None, "the scheduler: %s" % (
            "answers" if after.scheduler.ok else "does not answer")))
    old = {d.name: d for d in before.destinations}
    new = {d.name: d for d in after.destinations}
    for name in old.keys() - new.keys():
        found.append(Change(name, "deleted"))
    for name, d in new.items():
        if name not in old:
            found.append(Change(name, "added"))
            continue
        o = old[name]
        if (o.state, o.enabled) != (d.state, d.enabled):
            found.append(Change(name, "state %s -> %s" % (o.state, d.state)))
        if o.accepting != d.accepting:
            found.append(Change(name, "accepting jobs" if d.accepting else "rejecting jobs"))
        if o.reasons != d.reasons:
            found.append(Change(name, "reasons %s -> %s" % (_reasons_text(o.reasons),
                                                           _reasons_text(d.reasons))))
        if o.queued_jobs != d.queued_jobs:
            found.append(Change(name, "queued jobs %d -> %d" % (o.queued_jobs, d.queued_jobs)))
        if o.default != d.default:
            found.append(Change(name, "now the default" if d.default else "no longer the default"))
        if o.printer != d.printer:
            p = d.printer
            found.append(Change(name, "the printer: %s" % (
                "not asked" if not p.checked else "unreachable" if not p.reachable
                else "%s, reasons %s" % (p.state or "answered", _reasons_text(p.reasons)))))
        if o.ready != d.ready and not found[-1:] == [Change(name, "ready")]:
            found.append(Change(name, "ready" if d.ready else "not ready"))
    if before.ready != after.ready:
        found.append(Change(None, "ready" if after.ready else "not ready"))
    if not found and (before.problems != after.problems or before.warnings != after.warnings):
        found.append(Change(None, "problems or warnings"))
    return found


def _fingerprint(readiness: Readiness) -> Tuple[Any, ...]:
    # A state message ("Sending data") changes while nothing that matters does.
    return (readiness.ready, readiness.scheduler, readiness.problems, readiness.warnings,
            tuple(dataclasses.replace(d, message="") for d in readiness.destinations))


# ---- the watch --------------------------------------------------------------

def _positive(name: str, value: Optional[float]) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
        raise ValueError("%s must be a positive number of seconds, not %r" % (name, value))
    return float(min(value, 86400.0))


class watch_readiness:
    """``with watch_readiness() as watch: for readiness in watch: ...``

    An iterator of ``Readiness``: the current answer at once, then one each
    time the verdict or a destination's state, reasons, queued jobs or
    printer's answer changes. Its parameters are those of
    ``check_readiness()``, and:

    - ``poll_interval``: seconds between two questions for new events where
      the scheduler cannot tell at once (default: 1 s for a scheduler on this
      host, 5 s for one on another);
    - ``printer_interval``: seconds between two questions to the printers
      and about the default destination (30 s).

    Iterating blocks until something changes; Ctrl-C ends it (the
    ``with`` block then cancels the subscription). ``close()`` may be
    called from another thread: the iteration then ends within 0.5 s.
    """

    def __init__(self, destination: Optional[str] = None, *, check_printers: bool = True,
                 poll_interval: Optional[float] = None, printer_interval: float = 30.0,
                 setup_module: Optional[SetupModule] = None,
                 ipp_module: Optional[IppModule] = None) -> None:
        if destination is not None and not isinstance(destination, str):
            raise TypeError(
                "watch_readiness(destination=None, *, check_printers=True, poll_interval=None, "
                "printer_interval=30.0, setup_module=None, ipp_module=None): the destination "
                "must be a destination's name (str) or None, not %r" % (destination,))
        self._destination = destination
        self._check_printers = check_printers
        self._poll_interval = _positive("poll_interval", poll_interval)
        printer_every = _positive("printer_interval", printer_interval)
        assert printer_every is not None
        self._printer_interval = printer_every
        self._setup_module = setup_module
        self._ipp_module = ipp_module
        self._closed = threading.Event()
        self._lock = threading.Lock()  # one iteration at a time
        self._subscription: Optional[_Subscription] = None
        # The printers' own subscriptions, by printer URI, with the
        # generation last seen of each.
        self._printers: Dict[str, Tuple[_Subscription, int]] = {}
        # Every subscription this watch holds, given back once: on close(),
        # or when the watch is collected without it.
        self._held: List[_Subscription] = []
        self._finalizer = weakref.finalize(self, _give_back_all, self._held)
        self._last: Optional[Readiness] = None
        self._snapshot: Any = None
        self._seen = 0
        self._next_printers = 0.0
        self._retry_at = 0.0  # when to ask again, after a failure
        self._retry_pause = _RETRY_FIRST

    # ---- the protocol ------------------------------------------------------

    def __enter__(self) -> "watch_readiness":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> Iterator[Readiness]:
        return self

    def __next__(self) -> Readiness:
        if not self._lock.acquire(blocking=False):
            raise RuntimeError("this watch is being iterated in another thread")
        try:
            if self._closed.is_set():
                raise StopIteration
            answer = self._next()
            if answer is None:
                raise StopIteration
            return answer
        finally:
            self._lock.release()

    @property
    def closed(self) -> bool:
        return self._closed.is_set()

    def close(self) -> None:
        """Ends the watch and, with the last watch of this process at its
        scheduler, cancels the subscription there."""
        self._closed.set()
        self._finalizer()  # gives the subscriptions back, once

    # ---- the work ----------------------------------------------------------

    def _ask(self, known: Any = None) -> Readiness:
        readiness, answer = _ask(self._destination, self._check_printers, self._setup_module,
                                 self._ipp_module, keep=True, known=known)
        if answer is not None and "snapshot" in answer:
            self._snapshot = answer["snapshot"]
            if self._subscription is None and not self._closed.is_set():
                self._start(answer)
            if not self._closed.is_set():
                self._follow_printers(answer)
        elif known is None:
            self._snapshot = None
        self._next_printers = time.monotonic() + self._printer_interval
        return readiness

    def _start(self, answer: Mapping[str, Any]) -> None:
        ipp = self._ipp_module
        if ipp is None:
            ipp, _ = _load_ipp()
        local = bool(answer.get("local"))
        poll = self._poll_interval or (_LOCAL_POLL if local else _REMOTE_POLL)
        subscription = _take(str(answer.get("server", "")), ipp, local, poll)
        self._subscription = subscription
        self._held.append(subscription)
        # Subscribed now, so that nothing from here on is missed; a new
        # subscription's generation makes the next wait ask once more, for
        # what happened between the answer and the subscription.
        with subscription._condition:
            # A subscription shared with another watch may have told of a
            # change while this watch asked: its next wait asks again.
            self._seen = subscription.generation - (1 if subscription.users > 1 else 0)
        try:
            subscription.refresh(renew=False)
        except _Unreachable:
            self._back_off()

    def _follow_printers(self, answer: Mapping[str, Any]) -> None:
        """Subscribes at each printer that takes subscriptions, and gives up
        those of printers no longer there."""
        wanted = set()
        for printer in answer.get("printers") or ():
            device = printer.get("device") or {}
            uri = str(printer.get("device_uri") or "").split("?", 1)[0]
            if device.get("subscribes") and uri.startswith(("ipp://", "ipps://")):
                wanted.add(uri)
        ipp = self._ipp_module
        if ipp is None:
            ipp, _ = _load_ipp()
        for uri in wanted - self._printers.keys():
            host = urllib.parse.urlsplit(uri).hostname or ""
            local = host in ("localhost", "127.0.0.1", "::1")
            poll = self._poll_interval or (_LOCAL_POLL if local else _REMOTE_POLL)
            subscription = _take("", ipp, False, poll, printer_uri=uri)
            self._held.append(subscription)
            # Made at the first poll, which counts as news: the printers are
            # then asked once more, for what happened before it.
            self._printers[uri] = (subscription, subscription.generation
                                   - (1 if subscription.users > 1 else 0))
        for uri in self._printers.keys() - wanted:
            subscription, _ = self._printers.pop(uri)
            if subscription in self._held:
                self._held.remove(subscription)
            _give_back(subscription)

    def _printer_news(self) -> bool:
        """Polls the printers' subscriptions that are due: whether one of
        them told of a change."""
        news = False
        for uri, (subscription, seen) in list(self._printers.items()):
            generation = subscription.poll_if_due()
            if generation != seen:
                self._printers[uri] = (subscription, generation)
                news = True
        return news

    def _changed(self, readiness: Readiness) -> bool:
        assert self._last is not None
        return _fingerprint(readiness) != _fingerprint(self._last)

    def _next(self) -> Optional[Readiness]:
        if self._last is None:
            self._last = self._ask()
            self._after(self._last)
            return self._last
        while not self._closed.is_set():
            news = self._wait_for_news()
            if self._closed.is_set():
                return None
            if news is None:
                continue
            readiness = self._ask(None if news else self._snapshot)
            self._after(readiness)
            if self._changed(readiness):
                self._last = readiness
                return readiness
        return None

    def _after(self, readiness: Readiness) -> None:
        # The pause grows until the subscription answers again: an answer
        # from the scheduler alone does not end it (a scheduler may answer
        # its queries and garble its notifications).
        if not readiness.scheduler.ok and not self._retry_at:
            self._back_off()

    def _back_off(self) -> None:
        self._retry_at = time.monotonic() + self._retry_pause
        self._retry_pause = min(self._retry_pause * 2, _RETRY_LONGEST)

    def _wait_for_news(self) -> Optional[bool]:
        """True: something happened, ask the scheduler; False: time to ask
        the printers again; None: nothing yet."""
        now = time.monotonic()
        if self._retry_at or self._subscription is None:
            # The scheduler, or its subscription, was not had: ask again
            # after a pause that grows while it lasts.
            if not self._retry_at:
                self._back_off()
            if now < self._retry_at:
                self._closed.wait(min(self._retry_at - now, _SLICE))
                return None
            self._retry_at = 0.0
            if self._subscription is not None:
                try:
                    self._seen = self._subscription.refresh()
                except _Unreachable:
                    self._back_off()
            return True
        if self._printer_news():
            return False  # ask the printers, not the scheduler
        until = min(self._next_printers, now + _SLICE)
        try:
            generation = self._subscription.wait(self._seen, until)
        except _Unreachable:
            self._back_off()
            return True  # the answer now says what is wrong, if it can be had
        self._retry_pause = _RETRY_FIRST
        if generation == self._seen:
            return False if time.monotonic() >= self._next_printers else None
        # A burst: wait until events stop coming for a moment.
        burst_end = time.monotonic() + _LONGEST_BURST
        while not self._closed.is_set():
            self._seen = generation
            quiet_until = min(time.monotonic() + _COALESCE, burst_end)
            try:
                generation = self._subscription.wait(self._seen, quiet_until)
            except _Unreachable:
                break
            if generation == self._seen or time.monotonic() >= burst_end:
                break
        self._seen = generation
        return True


# ---- asyncio ----------------------------------------------------------------

async def check_readiness_async(destination: Optional[str] = None, *,
                                check_printers: bool = True,
                                setup_module: Optional[SetupModule] = None,
                                ipp_module: Optional[IppModule] = None) -> Readiness:
    """``check_readiness()`` on a thread of the loop's default executor.
    Cancelling the await abandons the answer; the question itself ends
    within its own time bounds."""
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(None, functools.partial(
        check_readiness, destination, check_printers=check_printers,
        setup_module=setup_module, ipp_module=ipp_module))


_Outcome = Tuple[Optional[Readiness], Optional[BaseException]]


class watch_readiness_async:
    """``async with watch_readiness_async() as watch: async for readiness
    in watch: ...``: ``watch_readiness()`` on one thread of its own, so the
    event loop is never blocked. Cancelling a task that waits for the next
    answer (``asyncio.wait_for`` with a timeout, say) leaves the watch open:
    the step under way goes on, and the next ``__anext__()`` takes its
    answer. ``aclose()`` (or the ``async with`` block) ends it."""

    def __init__(self, destination: Optional[str] = None, *, check_printers: bool = True,
                 poll_interval: Optional[float] = None, printer_interval: float = 30.0,
                 setup_module: Optional[SetupModule] = None,
                 ipp_module: Optional[IppModule] = None) -> None:
        self._watch = watch_readiness(destination, check_printers=check_printers,
                                      poll_interval=poll_interval,
                                      printer_interval=printer_interval,
                                      setup_module=setup_module, ipp_module=ipp_module)
        self._thread: Optional[threading.Thread] = None
        self._step: Optional[asyncio.Future[_Outcome]] = None  # the answer under way
        self._finished: Optional[_Outcome] = None  # its outcome, kept by its thread
        self._awaited = False

    async def __aenter__(self) -> "watch_readiness_async":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    def __aiter__(self) -> AsyncIterator[Readiness]:
        return self

    def _start_step(self, loop: asyncio.AbstractEventLoop) -> "asyncio.Future[_Outcome]":
        step: asyncio.Future[_Outcome] = loop.create_future()

        def deliver(outcome: _Outcome) -> None:
            if not step.done():
                step.set_result(outcome)

        def work() -> None:
            try:
                outcome: _Outcome = (next(self._watch), None)
            except StopIteration:
                outcome = (None, None)
            except BaseException as error:  # handed to the awaiting task
                outcome = (None, error)
            self._finished = outcome  # for a next loop, should this one be gone
            try:
                loop.call_soon_threadsafe(deliver, outcome)
            except RuntimeError:
                pass  # the loop is closed: nobody waits

        self._thread = threading.Thread(target=work, name="watch_readiness_async",
                                        daemon=True)
        self._thread.start()
        return step

    async def __anext__(self) -> Readiness:
        if self._awaited:
            raise RuntimeError("another task waits for this watch's next answer already")
        self._awaited = True
        try:
            readiness, error = await self._next_outcome()
        finally:
            self._awaited = False
        if error is not None:
            raise error
        if readiness is None:
            raise StopAsyncIteration
        return readiness

    async def _next_outcome(self) -> _Outcome:
        loop = asyncio.get_running_loop()
        step = self._step
        if step is not None and step.get_loop() is not loop:
            if not step.get_loop().is_closed():
                raise RuntimeError("this watch is waited for in another event loop")
            # The loop that waited is gone: its step's outcome is the thread's.
            while self._thread is not None and self._thread.is_alive():
                await asyncio.sleep(0.02)
            self._step = None
            if self._finished is not None:
                outcome, self._finished = self._finished, None
                return outcome
            step = None
        if step is None:
            if self._watch.closed:
                return None, None
            step = self._step = self._start_step(loop)
        # Shielded: a cancelled await leaves the step to the next one.
        outcome = await asyncio.shield(step)
        if self._step is step:
            self._step = None
            self._finished = None
        return outcome

    @property
    def closed(self) -> bool:
        return self._watch.closed

    async def aclose(self) -> None:
        """Closes the watch and waits (without blocking the loop) for its
        thread to end."""
        self._watch.close()
        thread = self._thread
        until = time.monotonic() + 2.0
        while thread is not None and thread.is_alive() and time.monotonic() < until:
            await asyncio.sleep(0.02)
        self._step = None
