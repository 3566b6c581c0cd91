"""Printing through IPP, and a job followed to its end.

``print_file()`` makes a job on a CUPS destination and streams its document
to the scheduler through the package's ``ipp`` extension (libcups): no CUPS
tool is run and no text made for people is read. The ``Job`` it returns
follows the job at the scheduler and, where the destination's device is an
IPP printer or another scheduler (a print server), at that next hop too: a
local job reads "completed" once it has left for the print server, even when
that server holds it for release or its printer refused the document.
"""

from __future__ import annotations

import contextlib
import errno
import os
import time
from dataclasses import dataclass
from typing import (IO, Any, Dict, Iterator, List, Literal, Mapping, Optional, Sequence,
                    Tuple, Union)

from .readiness import Reason
from .reasons import BLOCKING, INFORMATION, WARNING, Severity, classify_reason

__all__ = [
    "Job", "JobStatus", "Hop", "print_file",
    "PrintError", "NoSuchDestination", "NotAcceptingJobs", "UnsupportedFormat",
    "UnsupportedOption", "AuthenticationRequired", "SchedulerNotRunning",
    "SchedulerNoAnswer", "DocumentUnreadable", "JobRefused",
    "JobState", "ErrorKind",
]

JobState = Literal["pending", "held", "processing", "stopped", "canceled", "aborted",
                   "completed"]
_STATES: Dict[int, JobState] = {3: "pending", 4: "held", 5: "processing", 6: "stopped",
                                7: "canceled", 8: "aborted", 9: "completed"}
FINAL_STATES = frozenset(("canceled", "aborted", "completed"))

ErrorKind = Literal["no-such-destination", "not-accepting-jobs", "unsupported-format",
                    "unsupported-option", "authentication-required", "scheduler-not-running",
                    "scheduler-no-answer", "document-unreadable", "job-refused"]
NO_SUCH_DESTINATION: ErrorKind = "no-such-destination"
NOT_ACCEPTING_JOBS: ErrorKind = "not-accepting-jobs"
UNSUPPORTED_FORMAT: ErrorKind = "unsupported-format"
UNSUPPORTED_OPTION: ErrorKind = "unsupported-option"
AUTHENTICATION_REQUIRED: ErrorKind = "authentication-required"
SCHEDULER_NOT_RUNNING: ErrorKind = "scheduler-not-running"
SCHEDULER_NO_ANSWER: ErrorKind = "scheduler-no-answer"
DOCUMENT_UNREADABLE: ErrorKind = "document-unreadable"
JOB_REFUSED: ErrorKind = "job-refused"

# IPP operations and statuses (RFC 8011, and CUPS' own).
_GET_JOB_ATTRIBUTES = 0x0009
_GET_JOBS = 0x000A
_GET_PRINTER_ATTRIBUTES = 0x000B
_CANCEL_JOB = 0x0008
_NOT_FOUND = 0x0406
_NOT_AUTHENTICATED = 0x0402
_NOT_AUTHORIZED = 0x0403
_NOT_POSSIBLE = 0x0404
_GONE = 0x0407
_FORMAT_NOT_SUPPORTED = 0x040A
_ATTRIBUTES_NOT_SUPPORTED = 0x040B
_NOT_ACCEPTING = 0x0506
_JOB_GROUP = 0x02
_PRINTER_GROUP = 0x04

# Seconds of slack between the time a job started here and the time the
# next hop made it: the two clocks count whole seconds.
_MARGIN = 2

_CHECK_SCHEDULER = ("check that CUPS_SERVER (or client.conf) names a CUPS scheduler that "
                    "works")

_JOB_ATTRIBUTES = ["job-id", "job-name", "job-state", "job-state-reasons", "job-state-message",
                   "job-printer-state-message", "job-printer-state-reasons",
                   "job-originating-user-name", "job-impressions-completed",
                   "job-media-sheets-completed", "date-time-at-creation",
                   "date-time-at-processing", "job-printer-uri"]


class PrintError(OSError):
    """Printing could not start: ``kind`` says why (one of the ErrorKind
    constants), ``advice`` what to do."""

    kind: ErrorKind = JOB_REFUSED

    def __init__(self, message: str, advice: str = "", error_number: Optional[int] = None,
                 filename: Optional[str] = None) -> None:
        if error_number is not None:
            super().__init__(error_number, message, filename)
        else:
            super().__init__(message)
        self.message = message
        self.advice = advice

    def __str__(self) -> str:
        return self.message + (" (%s)" % self.advice if self.advice else "")


class NoSuchDestination(PrintError):
    kind: ErrorKind = NO_SUCH_DESTINATION


class NotAcceptingJobs(PrintError):
    kind: ErrorKind = NOT_ACCEPTING_JOBS


class UnsupportedFormat(PrintError):
    kind: ErrorKind = UNSUPPORTED_FORMAT
    formats: Tuple[str, ...] = ()


class UnsupportedOption(PrintError):
    kind: ErrorKind = UNSUPPORTED_OPTION
    options: Mapping[str, Sequence[object]] = {}


class AuthenticationRequired(PrintError):
    kind: ErrorKind = AUTHENTICATION_REQUIRED


class SchedulerNotRunning(PrintError):
    kind: ErrorKind = SCHEDULER_NOT_RUNNING


class SchedulerNoAnswer(PrintError, TimeoutError):
    kind: ErrorKind = SCHEDULER_NO_ANSWER


class DocumentUnreadable(PrintError):
    kind: ErrorKind = DOCUMENT_UNREADABLE


class JobRefused(PrintError):
    kind: ErrorKind = JOB_REFUSED


@contextlib.contextmanager
def _asking_the_scheduler() -> Iterator[None]:
    """Turns the IPP client's failures to reach the scheduler into the
    PrintError that says what to do."""
    try:
        yield
    except (ConnectionRefusedError, FileNotFoundError) as error:
        raise SchedulerNotRunning("the CUPS scheduler is not running: %s" % error,
                                  "start the CUPS scheduler, or point CUPS_SERVER at one "
                                  "that runs") from error
    except TimeoutError as error:
        raise SchedulerNoAnswer(str(error), "restart the CUPS scheduler") from error
    except PrintError:
        raise
    except OSError as error:
        raise JobRefused(str(error), _CHECK_SCHEDULER, error.errno) from error


@dataclass(frozen=True)
class Hop:
    """The job as one hop knows it: "scheduler", "print server" or
    "printer"; ``uri`` is where it was asked."""

    at: str
    uri: str
    job_id: int
    state: JobState
    reasons: Tuple[Reason, ...]
    message: str
    pages: int


@dataclass(frozen=True)
class JobStatus:
    """Where a job is: ``state`` is its fate so far across every hop that
    could be followed (``completed`` only once it left the last one),
    ``stalled`` why it waits when it does ("" otherwise), ``hops`` each
    hop's own view, the scheduler's first. ``next_hop_error`` says why a
    next hop could not be asked."""

    state: JobState
    stalled: str
    message: str
    pages: int
    hops: Tuple[Hop, ...]
    next_hop_error: str = ""

    @property
    def final(self) -> bool:
        return self.state in FINAL_STATES

    @property
    def reasons(self) -> Tuple[Reason, ...]:
        return tuple(r for hop in self.hops for r in hop.reasons)


def _load_ipp(ipp_module: Any) -> Any:
    if ipp_module is not None:
        return ipp_module
    from . import ipp
    return ipp


def _first(group: Mapping[str, List[Any]], name: str, default: Any = None) -> Any:
    values = group.get(name)
    return values[0] if values else default


# job-state-reasons (RFC 8011 5.3.8, PWG 5100.x, CUPS): how each weighs on
# the job's getting out. Others are printer-state-reasons that the job
# carries (job-printer-state-reasons), judged as readiness judges them.
_JOB_INFORMATION = frozenset((
    "job-incoming", "job-queued", "job-transforming", "job-printing", "job-interpreting",
    "job-outgoing", "job-fetchable", "processing-to-stop-point", "job-completed-successfully",
    "job-canceled-by-user", "job-canceled-by-operator", "job-canceled-at-device",
    "job-restartable", "job-resuming", "job-spooling", "job-streaming", "queued-in-device",
    "job-suspended-by-user", "job-saving", "job-saved-successfully", "job-data-insufficient",
    "job-queued-for-marker", "printer-stopped-partly", "none"))
_JOB_WARNING = frozenset((
    "job-hold-until-specified", "job-held-by-user", "job-held-by-operator",
    "job-held-for-review", "job-held-for-button-press", "job-held-for-password",
    "job-completed-with-warnings", "cups-held-for-authentication", "job-delay-output-until-specified",
    "resources-are-not-ready", "printer-stopped"))
_JOB_BLOCKING = frozenset((
    "aborted-by-system", "job-aborted-by-system", "job-completed-with-errors",
    "document-format-error", "unsupported-document-format", "document-access-error",
    "document-password-error", "document-permission-error", "document-security-error",
    "document-unprintable-error", "compression-error", "unsupported-compression",
    "job-password-wait", "errors-detected", "job-canceled-by-system"))


def _job_severity(keyword: str) -> Severity:
    if keyword in _JOB_INFORMATION:
        return INFORMATION
    if keyword in _JOB_WARNING:
        return WARNING
    if keyword in _JOB_BLOCKING:
        return BLOCKING
    return classify_reason(keyword)


def _reasons(keywords: Sequence[str]) -> Tuple[Reason, ...]:
    return tuple(Reason(k, _job_severity(k)) for k in keywords if k and k != "none")


def _groups(answer: Tuple[int, List[Tuple[int, Dict[str, List[Any]]]]],
            tag: int) -> List[Dict[str, List[Any]]]:
    return [group for group_tag, group in answer[1] if group_tag == tag]


def _hop(at: str, uri: str, group: Mapping[str, List[Any]],
         printer_reasons: Sequence[str] = ()) -> Hop:
    state = _STATES.get(int(_first(group, "job-state", 3)), "pending")
    keywords = [str(k) for k in group.get("job-state-reasons", [])]
    keywords += [str(k) for k in printer_reasons if str(k) not in keywords]
    message = str(_first(group, "job-state-message", "") or
                  _first(group, "job-printer-state-message", "") or "")
    pages = _first(group, "job-impressions-completed")
    if pages is None:
        pages = _first(group, "job-media-sheets-completed", 0)
    return Hop(at, uri, int(_first(group, "job-id", 0)), state, _reasons(keywords), message,
               int(pages or 0))


def _stall(hop: Hop, held_at: str) -> str:
    keywords = [r.keyword for r in hop.reasons]
    if hop.state == "held":
        if "cups-held-for-authentication" in keywords:
            return "held for authentication at the %s" % held_at
        return "held for release at the %s" % held_at
    if hop.state == "stopped" or "printer-stopped" in keywords:
        return "the printer is stopped at the %s" % held_at
    blocking = [r.keyword for r in hop.reasons if r.severity == BLOCKING]
    conditions = [k for k in keywords if k.startswith(("media-", "toner-", "marker-", "cover-",
                                                        "door-", "input-tray-", "offline"))]
    found = conditions or blocking
    if hop.state in ("pending", "processing") and found:
        return "the printer reports %s" % ", ".join(found)
    return ""


class Job:
    """A job at a CUPS destination. ``Job(destination, id)`` takes up a job
    again, after a restart, by the destination and id it was given."""

    def __init__(self, destination: str, id: int, *, ipp_module: Any = None) -> None:
        if not isinstance(destination, str) or not destination:
            raise TypeError("destination must be a destination's name, not %r" % (destination,))
        if isinstance(id, bool) or not isinstance(id, int) or id <= 0:
            raise TypeError("id must be a positive int, not %r" % (id,))
        self.destination = destination
        self.id = id
        self._ipp = ipp_module

    def __repr__(self) -> str:
        return "Job(%r, %d)" % (self.destination, self.id)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Job) and (other.destination, other.id) == (
            self.destination, self.id)

    def __hash__(self) -> int:
        return hash((self.destination, self.id))

    @property
    def _queue(self) -> str:
        return self.destination.split("/", 1)[0]

    def _scheduler_uri(self) -> str:
        from urllib.parse import quote
        return "ipp://localhost/printers/" + quote(self._queue, safe="")

    def _ask(self, operation: int, attributes: List[Tuple[str, str, Any]],
             timeout: float, uri: Optional[str] = None) -> Any:
        ipp = _load_ipp(self._ipp)
        if uri is not None:
            # A printer or print server: its failures are its own, said as
            # they are (Job.status() puts them in next_hop_error).
            return ipp.request(operation, attributes, uri=uri, timeout=timeout)
        with _asking_the_scheduler():
            return ipp.request(operation, attributes, timeout=timeout)

    def status(self, timeout: float = 10.0) -> JobStatus:
        """The job as the scheduler has it and, where its destination's
        device is IPP, as the next hop has it, all within timeout."""
        until = time.monotonic() + timeout
        uri = self._scheduler_uri()
        answer = self._ask(_GET_JOB_ATTRIBUTES, [
            ("printer-uri", "uri", uri), ("job-id", "integer", self.id),
            ("requested-attributes", "keyword", _JOB_ATTRIBUTES)], timeout)
        if answer[0] == _NOT_FOUND:
            raise JobRefused("the scheduler has no job %d on %s" % (self.id, self.destination),
                             "its history may have been purged")
        jobs = _groups(answer, _JOB_GROUP)
        if answer[0] > 0x00FF or not jobs:
            raise JobRefused("the scheduler did not tell job %d's state (IPP status 0x%04x)"
                             % (self.id, answer[0]))
        group = jobs[0]
        local = _hop("scheduler", uri, group, group.get("job-printer-state-reasons", []))
        hops = [local]
        next_error = ""
        if local.state in ("processing", "completed", "stopped", "pending"):
            try:
                remote = self._next_hop(group, until)
            except OSError as error:
                remote, next_error = None, str(error)
            if remote is not None:
                hops.append(remote)
        return _combine(hops, next_error)

    def _next_hop(self, local: Mapping[str, List[Any]], until: float) -> Optional[Hop]:
        def left() -> float:
            remaining = until - time.monotonic()
            if remaining < 0.05:
                raise TimeoutError("no time was left to ask the next hop")
            return remaining
        printer = self._ask(_GET_PRINTER_ATTRIBUTES, [
            ("printer-uri", "uri", self._scheduler_uri()),
            ("requested-attributes", "keyword", ["device-uri"])], left())
        groups = _groups(printer, _PRINTER_GROUP)
        device = str(_first(groups[0], "device-uri", "")) if groups else ""
        if not device.lower().startswith(("ipp://", "ipps://")):
            return None
        at = "print server" if "/printers/" in device or "/classes/" in device else "printer"
        name = _first(local, "job-name")
        user = _first(local, "job-originating-user-name")
        since = _first(local, "date-time-at-processing")
        if since is None or name is None:
            return None  # not sent on yet
        answer = self._ask(_GET_JOBS, [
            ("printer-uri", "uri", device.split("?", 1)[0]), ("which-jobs", "keyword", "all"),
            ("requested-attributes", "keyword", _JOB_ATTRIBUTES)], left(), device)

        def same(job: Mapping[str, List[Any]]) -> bool:
            return _first(job, "job-name") == name and (
                user is None or _first(job, "job-originating-user-name") in (user, None))
        # The ipp backend names the job at the next hop as here, for the
        # same user, and sends a queue's jobs one after the other: of the
        # jobs of that name made there since ours started here (less a
        # margin for the clocks' seconds), the first ones are those of the
        # jobs sent here just before ours, then comes ours. Counted from
        # the oldest, jobs sent after ours, or made there by others, do not
        # move it.
        start = int(since) - _MARGIN
        theirs = sorted((job for job in _groups(answer, _JOB_GROUP) if same(job) and int(
            _first(job, "date-time-at-creation", start)) >= start),
            key=lambda job: int(_first(job, "job-id", 0)))
        here = self._ask(_GET_JOBS, [
            ("printer-uri", "uri", self._scheduler_uri()), ("which-jobs", "keyword", "all"),
            ("requested-attributes", "keyword", ["job-id", "job-name",
                                                 "job-originating-user-name",
                                                 "date-time-at-processing"])], left())
        mine = (int(since), self.id)
        earlier = sum(1 for job in _groups(here, _JOB_GROUP) if same(job)
                      and _first(job, "date-time-at-processing") is not None
                      and start <= int(_first(job, "date-time-at-processing"))
                      and (int(_first(job, "date-time-at-processing")),
                           int(_first(job, "job-id", 0))) < mine)
        if earlier >= len(theirs):
            return None  # not made there yet
        best = theirs[earlier]
        return _hop(at, device, best)

    def wait(self, timeout: float, interval: float = 0.25) -> JobStatus:
        """Waits up to timeout seconds for the job's end; returns its status
        then (``final`` false, and ``stalled`` saying why, when it has not
        ended). The first status may take up to 10 s to have; after it,
        no question outlasts the time left, and a scheduler that stops
        answering ends the wait with the last status it gave."""
        until = time.monotonic() + timeout
        found = self.status(min(10.0, max(1.0, timeout)))
        while not found.final:
            left = until - time.monotonic()
            if left <= 0:
                break
            time.sleep(min(interval, left))
            left = until - time.monotonic()
            if left <= 0.05:
                break
            try:
                found = self.status(min(10.0, left))
            except (SchedulerNoAnswer, SchedulerNotRunning):
                break
        return found

    def cancel(self, timeout: float = 10.0) -> None:
        """Cancels the job; a job that has already ended stays as it ended."""
        answer = self._ask(_CANCEL_JOB, [("printer-uri", "uri", self._scheduler_uri()),
                                         ("job-id", "integer", self.id)], timeout)
        if answer[0] == _NOT_FOUND:
            raise JobRefused("the scheduler has no job %d on %s" % (self.id, self.destination))
        if answer[0] > 0x00FF and answer[0] not in (_NOT_POSSIBLE, _GONE):  # it has ended
            raise JobRefused("the scheduler did not cancel job %d (IPP status 0x%04x)"
                             % (self.id, answer[0]))


def _combine(hops: List[Hop], next_error: str) -> JobStatus:
    local = hops[0]
    remote = hops[1] if len(hops) > 1 else None
    state: JobState = local.state
    stalled = _stall(local, "scheduler")
    message = local.message
    pages = local.pages
    refused = (remote is not None and local.state == "completed" and remote.state == "held"
               and any(r.keyword == "job-data-insufficient" for r in remote.reasons))
    if refused:
        # The scheduler finished with the job, and the job at the printer is
        # still waiting for its document: the printer refused it.
        assert remote is not None
        return JobStatus("aborted", "", "the %s refused the document%s" % (
            remote.at, ": " + local.message if local.message else ""),
            max(local.pages, remote.pages), tuple(hops), next_error)
    if remote is not None and local.state in ("processing", "completed"):
        if remote.state == "held" or local.state == "completed":
            state = "processing" if remote.state in ("pending", "stopped") else remote.state
            if remote.state == "aborted" and not remote.message:
                message = "the %s aborted the job" % remote.at
        stalled = _stall(remote, remote.at) or stalled
        message = remote.message or message
        pages = max(pages, remote.pages)
    if state in FINAL_STATES:
        stalled = ""
    return JobStatus(state, stalled, message, pages, tuple(hops), next_error)


Document = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", bytearray, memoryview,
                 IO[bytes]]
Options = Union[str, Mapping[str, str], Sequence[str], None]


def _lpoptions_line(path: str, queue: str, instance: Optional[str]) -> Optional[str]:
    wanted = queue.lower() + ("/" + instance.lower() if instance else "")
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    found = None
    for line in lines:
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[0].lower() in ("dest", "default") and \
                parts[1].lower() == wanted:
            found = parts[2] if len(parts) > 2 else ""
    return found


def _saved_options(queue: str, instance: Optional[str]) -> List[str]:
    """The options lpoptions saved for the destination (the system's, then
    the user's), which lp applies under the ones it is given."""
    root = os.environ.get("CUPS_SERVERROOT") or "/etc/cups"
    home = os.environ.get("HOME") or os.path.expanduser("~")
    found = []
    for path in (os.path.join(root, "lpoptions"), os.path.join(home, ".cups", "lpoptions")):
        line = _lpoptions_line(path, queue, instance)
        if line is not None:
            found.append(line)
    return found


def _given_options(options: Options) -> List[Union[str, Tuple[str, str]]]:
    if options is None:
        return []
    if isinstance(options, str):
        return [options]
    if isinstance(options, Mapping):
        return [(str(k), str(v)) for k, v in options.items()]
    if isinstance(options, (bytes, bytearray)):
        raise TypeError("options must be a str, a mapping or a sequence of str, not bytes")
    return [str(o) for o in options]


def _default_destination(ipp: Any, timeout: float) -> str:
    with _asking_the_scheduler():
        answer = ipp.query_scheduler(timeout, False)
    name = answer.get("default")
    if not name:
        raise NoSuchDestination(
            "there is no default destination%s" % (
                ": " + str(answer["default_error"]) if answer.get("default_error") else ""),
            "name one (`lpstat -e` lists them), or set one with `lpadmin -d NAME`")
    return str(name)


def print_file(document: Document, destination: Optional[str] = None, *,
               title: Optional[str] = None, options: Options = None,
               document_format: Optional[str] = None,
               credentials: Optional[Tuple[str, str]] = None,
               timeout: float = 10.0, idle_timeout: float = 30.0,
               ipp_module: Any = None) -> Job:
    """Prints document (a path, bytes, or a binary file object, streamed)
    to destination (NAME or NAME/INSTANCE; None: the default, as ``lp``
    picks it) and returns its Job.

    ``options`` are as ``lp -o`` takes them (a str such as "sides=two-sided-
    long-edge media=a4", a mapping, or a sequence of such str), over those
    lpoptions saved for the destination or its instance. ``document_format``
    is a MIME type; None lets the scheduler detect it. ``credentials``
    (user, password) answer a scheduler that asks for them; without them no
    password is ever asked for, and such a scheduler raises
    ``AuthenticationRequired``. Each step waits at most ``timeout`` seconds
    and the stream at most ``idle_timeout`` for each piece. A Ctrl-C while
    sending cancels the half-made job.

    Raises a ``PrintError`` (an OSError) whose ``kind`` says why printing
    could not start."""
    if destination is not None and (not isinstance(destination, str) or not destination):
        raise TypeError("destination must be a destination's name or None, not %r"
                        % (destination,))
    if isinstance(document, int):
        raise TypeError("document must be a path, bytes or a binary file object, not %s"
                        % type(document).__name__)
    ipp = _load_ipp(ipp_module)
    if destination is None:
        destination = _default_destination(ipp, timeout)
    queue, _, instance = destination.partition("/")
    given = _given_options(options)
    every: List[Union[str, Tuple[str, str]]] = [*_saved_options(queue, instance or None), *given]
    opened: Optional[IO[bytes]] = None
    source: Any = document
    if isinstance(document, (str, os.PathLike)):
        path = os.fspath(document)
        try:
            opened = open(path, "rb")
        except OSError as error:
            raise DocumentUnreadable("cannot read the document %r: %s"
                                     % (path, error.strerror or error),
                                     "check that the file exists and that this user may read it",
                                     error.errno, os.fsdecode(path)) from error
        source = opened.fileno()
        if title is None:
            title = os.path.basename(os.fsdecode(path))
    try:
        with _asking_the_scheduler():
            answer = ipp.submit(queue, source, title=title or "Untitled", options=every,
                                document_format=document_format, timeout=timeout,
                                idle_timeout=idle_timeout, credentials=credentials)
    finally:
        if opened is not None:
            opened.close()
    return _job_of(answer, destination, queue, document_format, ipp, timeout, idle_timeout)


def _job_of(answer: Mapping[str, Any], destination: str, queue: str,
            document_format: Optional[str], ipp: Any, timeout: float,
            idle_timeout: float) -> Job:
    if answer["read_error"] == errno.ETIMEDOUT:
        raise DocumentUnreadable("the document gave nothing to read for %g s" % idle_timeout,
                                 "nothing was printed: give a document that can be read "
                                 "at once, or a longer idle_timeout", errno.ETIMEDOUT)
    if answer["read_error"]:
        error_number = int(answer["read_error"])
        raise DocumentUnreadable("cannot read the document: %s" % os.strerror(error_number),
                                 "check the document; nothing was printed", error_number)
    status, message = int(answer["status"]), str(answer["message"])
    if answer["http_status"] == 401 or status in (_NOT_AUTHENTICATED, _NOT_AUTHORIZED):
        raise AuthenticationRequired(
            "the scheduler at %s asks %s to authenticate%s" % (
                answer["server"], answer["user"],
                " (%s)" % answer["authenticate"] if answer["authenticate"] else ""),
            "pass credentials=(user, password) to print_file")
    if answer["http_status"]:
        raise JobRefused("the scheduler at %s answered HTTP %d" % (answer["server"],
                                                                   answer["http_status"]))
    if status == _NOT_FOUND:
        raise NoSuchDestination("there is no destination %r at the scheduler at %s"
                                % (destination, answer["server"]),
                                "`lpstat -e` lists the destinations")
    if status == _NOT_ACCEPTING:
        raise NotAcceptingJobs(message or "%r is not accepting jobs" % destination,
                               "`cupsaccept %s` makes it accept jobs" % queue)
    if status == _FORMAT_NOT_SUPPORTED:
        formats = _supported_formats(ipp, queue, timeout)
        error = UnsupportedFormat(
            "%s refuses documents of type %s%s" % (
                destination, document_format or "?",
                "; it takes " + ", ".join(formats) if formats else ""),
            "convert the document, or pass one of its formats as document_format")
        error.formats = formats
        raise error
    if status == _ATTRIBUTES_NOT_SUPPORTED or answer["unsupported"]:
        if status > 0x00FF:
            error_option = UnsupportedOption(
                "%s does not support %s" % (destination, ", ".join(
                    "%s=%s" % (k, ",".join(map(str, v)))
                    for k, v in answer["unsupported"].items()) or message),
                "leave the option out, or use a value that `lpoptions -p %s -l` lists" % queue)
            error_option.options = dict(answer["unsupported"])
            raise error_option
    if status > 0x00FF or not answer["job_id"]:
        raise JobRefused("the scheduler refused the job: %s (IPP status 0x%04x)"
                         % (message or "no reason given", status))
    return Job(destination, int(answer["job_id"]), ipp_module=ipp)


def _supported_formats(ipp: Any, queue: str, timeout: float) -> Tuple[str, ...]:
    from urllib.parse import quote
    try:
        answer = ipp.request(_GET_PRINTER_ATTRIBUTES, [
            ("printer-uri", "uri", "ipp://localhost/printers/" + quote(queue, safe="")),
            ("requested-attributes", "keyword", ["document-format-supported"])],
            timeout=timeout)
    except OSError:
        return ()
    groups = _groups(answer, _PRINTER_GROUP)
    return tuple(str(f) for f in groups[0].get("document-format-supported", [])) if groups else ()
