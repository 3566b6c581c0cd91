"""Can this host print now? The answer of the CUPS scheduler and of the
printers themselves.

``check_readiness()`` asks the scheduler over IPP, through the package's
``ipp`` extension module (libcups): one CUPS-Get-Printers request for every
destination's state, state reasons, state message, whether it accepts jobs,
its queued jobs and its device URI, and the default destination as ``lp``
without ``-d`` resolves it (``PRINTER`` or ``LPDEST``, lpoptions, then the
scheduler's default). The server, port, encryption and user are picked as
the CUPS tools pick them (``CUPS_SERVER``, client.conf, the local socket),
afresh at every call. Then, unless ``check_printers`` is false, it asks each
destination's printer itself, all at once: a scheduler reports a queue as
idle while its printer is switched off, until a job fails.

The scheduler's answer takes at most the query time limit of the setup
module's ``setup()``; the printers then have as long again to take a
connection, and a printer that took one is waited for up to the job time
limit (waking from sleep, a printer answers within seconds): the whole
call takes at most the query limit and the job limit together.

Texts in the result (names, messages, keywords) are the scheduler's and the
printers' own, exactly: pass them through ``sanitize()`` before showing them.
"""

from __future__ import annotations

import dataclasses
import os
import shlex
import urllib.parse
from dataclasses import dataclass, field
from typing import (TYPE_CHECKING, Any, Dict, Iterable, List, Literal, Mapping, Optional,
                    Protocol, Sequence, Tuple)

from .reasons import (BLOCKING, INFORMATION, QUEUE_REASONS, WARNING, Severity,
                      classify_reason)
from .reasons import split as split_reason
from .reasons import title as reason_title

if TYPE_CHECKING:
    from .setup import Settings

__all__ = [
    "Destination", "PrinterCheck", "Problem", "ProblemKind", "Readiness", "Reason", "Scheduler",
    "check_readiness", "classify_reason", "sanitize",
    "BLOCKING", "WARNING", "INFORMATION",
    "TOOLS_MISSING", "NO_SETTINGS", "NO_IPP_CLIENT", "QUERY_FAILED", "SCHEDULER_NOT_RUNNING",
    "SCHEDULER_NO_ANSWER", "NO_DESTINATION", "NONE_ACCEPTING", "NONE_ENABLED", "BAD_DEFAULT",
    "UNDETERMINED", "PRINTER_CONDITION", "PRINTER_UNREACHABLE", "PRINTER_REFUSED", "PRINTER_NOT_ASKED",
    "ANSWER_UNREADABLE",
    "PRINTER_WARNING", "JOBS_QUEUED", "NO_DEFAULT", "HELD_FOR_RELEASE",
    "UNKNOWN_DESTINATION", "NOT_TAKING_JOBS",
]

State = Literal["idle", "printing", "stopped"]

# Kinds of problem, stable for programs that match on them.
ProblemKind = Literal[
    "tools-missing",
    "no-settings",
    "no-ipp-client",
    "query-failed",
    "scheduler-not-running",
    "scheduler-no-answer",
    "no-destination",
    "none-accepting",
    "none-enabled",
    "bad-default",
    "undetermined",
    "printer-condition",
    "printer-unreachable",
    "printer-refused",
    "printer-not-asked",
    "answer-unreadable",
    "printer-warning",
    "no-default",
    "held-for-release",
    "unknown-destination",
    "not-taking-jobs",
    "jobs-queued",
]
TOOLS_MISSING: ProblemKind = "tools-missing"
NO_SETTINGS: ProblemKind = "no-settings"
NO_IPP_CLIENT: ProblemKind = "no-ipp-client"
QUERY_FAILED: ProblemKind = "query-failed"
SCHEDULER_NOT_RUNNING: ProblemKind = "scheduler-not-running"
SCHEDULER_NO_ANSWER: ProblemKind = "scheduler-no-answer"
NO_DESTINATION: ProblemKind = "no-destination"
NONE_ACCEPTING: ProblemKind = "none-accepting"
NONE_ENABLED: ProblemKind = "none-enabled"
BAD_DEFAULT: ProblemKind = "bad-default"
UNDETERMINED: ProblemKind = "undetermined"  # no longer reported; kept for programs that match on it
PRINTER_CONDITION: ProblemKind = "printer-condition"
PRINTER_UNREACHABLE: ProblemKind = "printer-unreachable"
PRINTER_REFUSED: ProblemKind = "printer-refused"  # it answered HTTP, not with its state
PRINTER_NOT_ASKED: ProblemKind = "printer-not-asked"  # no thread, descriptor or time was left to ask it
ANSWER_UNREADABLE: ProblemKind = "answer-unreadable"  # an attribute twice, or in a syntax it cannot have
PRINTER_WARNING: ProblemKind = "printer-warning"
NO_DEFAULT: ProblemKind = "no-default"  # some destination is ready, but lp FILE has none to use
HELD_FOR_RELEASE: ProblemKind = "held-for-release"  # the printer keeps each job until someone releases it
UNKNOWN_DESTINATION: ProblemKind = "unknown-destination"  # check_readiness(destination=...) names none
NOT_TAKING_JOBS: ProblemKind = "not-taking-jobs"  # the destination asked about is stopped or rejects jobs
JOBS_QUEUED: ProblemKind = "jobs-queued"

DEFAULT_SERVER = "default"

_STATES: Dict[int, State] = {3: "idle", 4: "printing", 5: "stopped"}


# ---- text from outside ------------------------------------------------------

def _escape(code: int) -> str:
    if 0xDC80 <= code <= 0xDCFF:  # a byte that was not UTF-8, kept by surrogateescape
        return "\\x%02x" % (code - 0xDC00)
    return "\\x%02x" % code if code <= 0xFF else "\\u%04x" % code


def _unsafe() -> Dict[int, str]:
    codes = list(range(0x00, 0x20)) + list(range(0x7F, 0xA0))  # C0, DEL, C1
    # Marks, embeddings, overrides and isolates reorder what follows them.
    codes += [0x061C, 0x200E, 0x200F] + list(range(0x202A, 0x202F)) + list(range(0x2066, 0x206A))
    codes += range(0xD800, 0xE000)  # lone surrogates: no UTF-8 stream can carry one
    return {code: _escape(code) for code in codes}


_UNSAFE = _unsafe()


def sanitize(text: str) -> str:
    """text with C0 and C1 control characters, bidirectional formatting
    characters and lone surrogates written as backslash escapes (a byte
    that was not UTF-8 as ``\\xNN``), so that neither a terminal nor a
    strict UTF-8 stream can be disturbed by it. Everything else, such as
    U+00A0 or U+2028 in a queue's name, is kept."""
    return text.translate(_UNSAFE)


# ---- printer-state-reasons --------------------------------------------------

# The step that clears a condition, by keyword without its suffix, where
# NAME stands for the destination. Severities come from the rule in
# reasons.py; a keyword without advice here gets the panel's, by its title.
_SWITCH_ON = "switch on the printer or check its network connection"
_ADVICE: Dict[str, str] = {
    # A person stopped the queue: cupsdisable leaves a private scheduler
    # reporting printer-state stopped, reasons "paused", message "Paused";
    # every job is held until the queue is started.
    "paused": "start the queue: `cupsenable NAME`",
    "moving-to-paused": "start the queue: `cupsenable NAME`",
    "stopping": "start the queue: `cupsenable NAME`",
    "shutdown": "switch on the printer",
    "hold-new-jobs": "release the held jobs: `cupsenable --release NAME`",
    "offline-report": _SWITCH_ON,
    "offline": _SWITCH_ON,
    "timed-out": _SWITCH_ON,
    "media-needed": "load paper into NAME",
    "media-empty": "load paper into NAME",
    "media-jam": "clear the paper jam in NAME",
    "toner-empty": "replace the toner of NAME",
    "marker-supply-empty": "replace the toner or ink of NAME",
    "marker-ink-empty": "replace the ink of NAME",
    "marker-waste-full": "empty or replace the waste container of NAME",
    "cover-open": "close the covers and doors of NAME",
    "door-open": "close the covers and doors of NAME",
    "interlock-open": "close the covers and doors of NAME",
    "input-tray-missing": "put the input tray back into NAME",
    "output-tray-missing": "put the output tray back into NAME",
    "output-area-full": "empty the output tray of NAME",
    "spool-area-full": "free disk space where NAME spools its jobs",
    "fuser-over-temp": "let NAME cool down, or have it serviced",
    "fuser-under-temp": "let NAME warm up, or have it serviced",
    "media-low": "load paper into NAME soon",
    "toner-low": "replace the toner of NAME soon",
    "marker-supply-low": "replace the toner or ink of NAME soon",
    "marker-waste-almost-full": "empty the waste container of NAME soon",
    "output-area-almost-full": "empty the output tray of NAME soon",
    "developer-low": "replace the developer of NAME soon",
    "opc-near-eol": "replace the drum of NAME soon",
    "cups-missing-filter-warning": "install the printer's driver",
    "cups-insecure-filter-warning": "reinstall the printer's driver (its filters must belong "
                                    "to root and be writable by root alone)",
    "cups-remote-pending-held": "release the job at the print server or at the printer "
                                "(its panel, or `lp -i JOB -H resume` on a CUPS server), "
                                "or ask its administrator why it holds jobs",
    "cups-remote-stopped": "start the queue at the print server (`cupsenable` there), or "
                           "ask its administrator",
    "cups-remote-aborted": "the print server gave up on the last job: see its job list "
                           "before sending more",
}

# The printer's own reasons, where a person acts at the printer, not at the
# local queue: for a queue of another CUPS server, its commands run there.
_AT_PRINTER: Dict[str, str] = {
    "paused": "resume the printer at its panel or web page (a queue of another CUPS "
              "server: `cupsenable` there)",
    "moving-to-paused": "resume the printer at its panel or web page (a queue of another "
                        "CUPS server: `cupsenable` there)",
    "stopping": "resume the printer at its panel or web page (a queue of another CUPS "
                "server: `cupsenable` there)",
    "hold-new-jobs": "let the printer take new jobs again at its panel or web page (a queue "
                     "of another CUPS server: `cupsenable --release` there)",
    "spool-area-full": "free the printer's storage (its panel or web page shows the jobs "
                       "kept there)",
}
_SUFFIX_ADVICE = {
    BLOCKING: "see the printer's panel or status page about %s",
    WARNING: "see the printer's panel or status page about %s soon",
    INFORMATION: "",
}


def _relayed(keyword: str) -> bool:
    return keyword not in QUEUE_REASONS and not keyword.startswith("cups-")


def _shown(keyword: str) -> str:
    """'Media Empty' (media-empty-report), or the keyword where it has no
    title."""
    found = reason_title(keyword, translated=True)
    return "'%s' (%s)" % (found, keyword) if found else "'%s'" % keyword


# The same, where the printer is a queue of another CUPS server: SERVER and
# QUEUE stand for it.
_AT_PRINT_SERVER: Dict[str, str] = {
    "paused": "start the queue QUEUE on the print server SERVER: `cupsenable -h SERVER QUEUE`",
    "moving-to-paused": "start the queue QUEUE on the print server SERVER: "
                        "`cupsenable -h SERVER QUEUE`",
    "stopping": "start the queue QUEUE on the print server SERVER: `cupsenable -h SERVER QUEUE`",
    "hold-new-jobs": "release the jobs held on the print server SERVER: "
                     "`cupsenable -h SERVER --release QUEUE`",
    "accepting": "let the queue QUEUE on the print server SERVER accept jobs: "
                 "`cupsaccept -h SERVER QUEUE`",
    "held": "release the job on the print server SERVER: `lpstat -h SERVER -o QUEUE` lists the "
            "jobs and `lp -h SERVER -i JOB -H resume` releases one",
}


def _print_server(device_uri: str) -> Optional[Tuple[str, str]]:
    """(server, queue) when the device URI names a queue of a CUPS server
    (ipp://HOST[:PORT]/printers/QUEUE or /classes/QUEUE)."""
    try:
        parts = urllib.parse.urlsplit(device_uri)
        port = parts.port
    except ValueError:
        return None
    segments = parts.path.split("/")
    if parts.scheme not in ("ipp", "ipps", "http", "https") or not parts.hostname or \
            len(segments) != 3 or segments[1] not in ("printers", "classes") or not segments[2]:
        return None
    host = parts.hostname if ":" not in parts.hostname else "[%s]" % parts.hostname
    return "%s:%d" % (host, port or 631), urllib.parse.unquote(segments[2])


def _at_print_server(what: str, server: Tuple[str, str]) -> str:
    host, queue = server
    return _AT_PRINT_SERVER[what].replace("SERVER", shlex.quote(host)).replace(
        "QUEUE", shlex.quote(queue))


def _advice(keyword: str, name: str, at_printer: bool = False,
            severity: Optional[Severity] = None,
            server: Optional[Tuple[str, str]] = None) -> str:
    base, _ = split_reason(keyword)
    if at_printer and server is not None and base in _AT_PRINT_SERVER:
        return _at_print_server(base, server)
    known = (_AT_PRINTER.get(base) if at_printer else None) or _ADVICE.get(keyword) \
        or _ADVICE.get(base)
    if known:
        return known.replace("NAME", shlex.quote(name) if "`" in known else name)
    return _SUFFIX_ADVICE[severity or classify_reason(keyword)] % _shown(keyword)


# ---- the result -------------------------------------------------------------

@dataclass(frozen=True)
class Reason:
    """A printer-state-reasons keyword and its severity for printing now."""

    keyword: str
    severity: Severity


@dataclass(frozen=True)
class PrinterCheck:
    """What the destination's printer itself said when asked over its device
    URI. ``checked`` false: not asked, and ``message`` says why (a scheme
    such as usb that cannot be asked from here, no device URI, a scheduler
    on another host, or checks switched off). Else ``reachable`` says
    whether it answered, and ``state``, ``reasons`` and ``message`` are its
    own (``message``: why it could not be reached)."""

    checked: bool = False
    reachable: Optional[bool] = None
    state: Optional[State] = None
    reasons: Tuple[Reason, ...] = ()
    message: str = ""
    accepting: Optional[bool] = None  # printer-is-accepting-jobs, where it said
    http_status: Optional[int] = None  # the HTTP status it answered instead of IPP
    tls_failed: bool = False  # its connection's TLS could not be had
    hold_default: Optional[str] = None  # job-hold-until-default: a print server that holds jobs
    empty_trays: Tuple[str, ...] = ()  # printer-input-tray's trays at level 0, the default first


@dataclass(frozen=True)
class Problem:
    """What stands in the way, or a warning (kind: one of the constants
    above), and the step a person can take; destination names the one it is
    about, when it is about one."""

    kind: ProblemKind
    message: str
    advice: str
    destination: Optional[str] = None


@dataclass(frozen=True)
class Scheduler:
    ok: bool  # whether the scheduler's answer could be had
    running: Optional[bool]  # None: not known (it took the connection, and no answer came)
    server: str  # CUPS_SERVER as the tools see it, or "default"
    address: str = ""  # where libcups reached it: host:port, or the local socket


@dataclass(frozen=True)
class Destination:
    """A printer or class, by its exact name. ``enabled`` is false when it
    is stopped; ``message`` is its state message. ``reasons`` are the
    scheduler's state reasons, ``queued_jobs`` the jobs waiting there,
    ``printer`` the printer's own answer. ``ready``: enabled, accepting
    jobs, no blocking reason from the scheduler or the printer, and the
    printer, where checked, answered; for a class, also one of its
    ``members`` ready."""

    name: str
    default: bool
    enabled: bool
    accepting: bool
    state: State
    message: str
    reasons: Tuple[Reason, ...] = ()
    queued_jobs: int = 0
    device_uri: str = ""  # without user-info, where credentials live
    printer: PrinterCheck = field(default_factory=PrinterCheck)
    # A class's printers, and whether one of them is ready (None: not a class).
    members: Tuple[str, ...] = ()
    member_ready: Optional[bool] = None
    # Why the scheduler's answer about it cannot be read (an attribute twice,
    # or in a syntax it cannot have); such a destination is not ready.
    unreadable: str = ""

    @property
    def blocking(self) -> Tuple[Reason, ...]:
        """The reasons, the scheduler's and the printer's, that stop
        printing. The scheduler keeps the conditions that a backend last
        relayed from the printer until a backend clears them, through
        restarts and idle days; when the printer itself answered now, its
        own reasons stand for its condition, and of the scheduler's only
        those about the queue count."""
        return self.queue_blocking + tuple(reason for reason in self.printer.reasons
                                           if reason.severity == BLOCKING)

    @property
    def queue_blocking(self) -> Tuple[Reason, ...]:
        """The scheduler's reasons of those in ``blocking``."""
        # A connection that was accepted (socket, lpd) says nothing of paper.
        answered = self.printer.reachable is True and self.printer.state is not None
        return tuple(reason for reason in self.reasons if reason.severity == BLOCKING
                     and not (answered and _relayed(reason.keyword)))

    @property
    def ready(self) -> bool:
        return (self.enabled and self.accepting and not self.blocking
                and (not self.printer.checked or bool(self.printer.reachable))
                and self.printer.state != "stopped" and self.printer.accepting is not False
                and self.member_ready is not False
                and not self.unreadable)


@dataclass(frozen=True)
class Readiness:
    """``ready`` when the CUPS tools are present, the scheduler runs, some
    destination is ready, and the default destination (set with lpadmin,
    lpoptions, PRINTER or LPDEST), if any, exists and is ready. A
    destination is ready when it is enabled, accepts jobs, has no blocking
    reason (from the scheduler or from its printer), and its printer, where
    checked, answered. Ready does not mean that a job will come out: a
    printer that cannot be asked (usb, say) may still be off, and a
    condition may arise later. Jobs waiting and advisories such as low toner
    are ``warnings``, not problems."""

    scheduler: Scheduler
    destinations: Tuple[Destination, ...]
    ready: bool
    problems: Tuple[Problem, ...]
    warnings: Tuple[Problem, ...] = ()

    def as_dict(self) -> Dict[str, object]:
        """The JSON-ready form: scheduler, destinations, ready, problems,
        warnings. Texts are exact, as in the result itself."""
        return {
            "scheduler": {"ok": self.scheduler.ok, "running": self.scheduler.running,
                          "server": self.scheduler.server, "address": self.scheduler.address},
            "destinations": [_destination_dict(d) for d in self.destinations],
            "ready": self.ready,
            "problems": [_problem_dict(p) for p in self.problems],
            "warnings": [_problem_dict(p) for p in self.warnings],
        }


def _reasons_list(reasons: Iterable[Reason]) -> List[Dict[str, str]]:
    return [{"keyword": r.keyword, "severity": r.severity} for r in reasons]


def _destination_dict(d: Destination) -> Dict[str, object]:
    return {"name": d.name, "default": d.default, "enabled": d.enabled,
            "accepting": d.accepting, "state": d.state, "message": d.message,
            "ready": d.ready, "reasons": _reasons_list(d.reasons),
            "queued_jobs": d.queued_jobs, "device_uri": d.device_uri,
            "members": list(d.members), "unreadable": d.unreadable,
            "printer": {"checked": d.printer.checked, "reachable": d.printer.reachable,
                        "state": d.printer.state, "reasons": _reasons_list(d.printer.reasons),
                        "message": d.printer.message, "accepting": d.printer.accepting,
                        "http_status": d.printer.http_status,
                        "hold_default": d.printer.hold_default}}


def _problem_dict(p: Problem) -> Dict[str, object]:
    return {"kind": p.kind, "message": p.message, "advice": p.advice,
            "destination": p.destination}


# ---- asking -----------------------------------------------------------------

class SetupModule(Protocol):
    """What is used of the setup extension (or a stand-in for it)."""

    def is_available(self) -> Tuple[bool, str]: ...

    def setup(self) -> Settings: ...


class IppModule(Protocol):
    """What is used of the ipp extension (or a stand-in for it)."""

    def query_scheduler(self, timeout: float, check_printers: bool = ..., *,
                        printer_timeout: float = ...,
                        destination: Optional[str] = ...) -> Dict[str, Any]: ...


def _describe(error: BaseException) -> str:
    text = str(error)
    return "%s: %s" % (type(error).__name__, text) if text else type(error).__name__


def _load_ipp() -> Tuple[Optional[IppModule], Optional[Problem]]:
    try:
        from . import ipp
    except ModuleNotFoundError as error:
        if error.name != __package__ + ".ipp":
            raise
        return None, Problem(
            NO_IPP_CLIENT, "this installation of the printing client's CUPS support was built "
            "without its IPP client (with-ipp=off, or libcups' headers missing at build time), "
            "so the scheduler cannot be asked",
            "rebuild it with libcups: install its headers (Debian: apt-get install "
            "libcups2-dev), then `python3 -m pip install --force-reinstall --no-deps .` from "
            "its source, without `--config-settings with-ipp=off`")
    except ImportError as error:
        # Most often libcups.so.2 itself is missing.
        return None, Problem(
            NO_IPP_CLIENT, "cannot load the IPP client: %s" % error,
            "install libcups, the CUPS client library (Debian: apt-get install libcups2)")
    return ipp, None


def _without_answer(*fields: Any) -> Tuple[Readiness, None]:
    return Readiness(*fields), None


def check_readiness(destination: Optional[str] = None, *,
                    check_printers: bool = True,
                    setup_module: Optional[SetupModule] = None,
                    ipp_module: Optional[IppModule] = None) -> Readiness:
    """Asks the CUPS scheduler, and unless ``check_printers`` is false each
    destination's printer, whether printing can start now.

    With ``destination`` (NAME or NAME/INSTANCE), it answers "can I print to
    NAME now?": only that destination is asked for, and its printer (for a
    class, its members'), however many queues the scheduler has.

    ``setup_module`` defaults to the package's setup extension and
    ``ipp_module`` to its ipp extension; importing the setup extension may
    raise ``ImportError``. Nothing else raises: every failure becomes a
    problem in the result. ``destination`` is the only parameter that may
    be given by position; any other value there is a ``TypeError``.
    """
    if destination is not None and not isinstance(destination, str):
        raise TypeError(
            "check_readiness(destination=None, *, check_printers=True, setup_module=None, "
            "ipp_module=None): the destination, the only positional parameter, must be a "
            "destination's name (str) or None, not %r; pass the others by keyword, e.g. "
            "check_readiness(check_printers=False)" % (destination,))
    return _ask(destination, check_printers, setup_module, ipp_module)[0]


def _ask(destination: Optional[str], check_printers: bool,
         setup_module: Optional[SetupModule], ipp_module: Optional[IppModule],
         keep: bool = False, known: Any = None
         ) -> Tuple[Readiness, Optional[Mapping[str, Any]]]:
    """check_readiness(), and the scheduler's answer where there was one.
    With keep, the answer holds a snapshot of the scheduler's destinations;
    given back as known, only the printers and the default are asked again."""
    if setup_module is None:
        from . import setup as setup_extension
        setup_module = setup_extension
    server = os.environ.get("CUPS_SERVER") or DEFAULT_SERVER
    not_asked = Scheduler(ok=False, running=None, server=server)
    try:
        usable, reason = setup_module.is_available()
    except Exception as error:
        usable, reason = False, _describe(error)
    if not usable:
        return _without_answer(not_asked, (), False, (Problem(
            TOOLS_MISSING, "CUPS printing is not usable here: %s" % reason,
            "install the CUPS client tools (Debian: apt-get install cups-client)"),))
    try:
        timeouts = setup_module.setup()["timeout"]
        limit = float(timeouts.query)
        # A printer that took the connection is waited for as long as a job
        # would wait for it: waking from sleep, it answers within seconds.
        printer_limit = max(limit, float(timeouts.job))
    except Exception as error:
        return _without_answer(not_asked, (), False, (Problem(
            NO_SETTINGS, "no settings for running the CUPS tools: %s" % _describe(error),
            "reinstall the printing client's CUPS support"),))
    if destination is not None and (not isinstance(destination, str) or not destination):
        raise TypeError("destination must be a destination's name (a non-empty str), not %r"
                        % (destination,))
    if destination is not None:
        base = destination.split("/", 1)[0]
        # CUPS names: at most 127 bytes, no control character, space, "/" or "#".
        if not base or len(base.encode("utf-8", "surrogateescape")) > 127 or any(
                ch <= " " or ch in "\x7f#" for ch in base):
            return _without_answer(not_asked, (), False, (Problem(
                UNKNOWN_DESTINATION, "%r is not the name of a destination" % destination,
                "`lpstat -e` lists the destinations", destination),))
    if ipp_module is None:
        ipp_module, missing = _load_ipp()
        if ipp_module is None:
            assert missing is not None
            return _without_answer(not_asked, (), False, (missing,))

    extra: Dict[str, Any] = {}
    if destination is not None:
        extra["destination"] = destination
    if keep:
        extra["keep"] = True
    if known is not None:
        extra["known"] = known
    try:
        answer = ipp_module.query_scheduler(limit, check_printers,
                                            printer_timeout=printer_limit, **extra)
    except (ConnectionRefusedError, FileNotFoundError) as error:
        advice = ("start the CUPS service (e.g. `systemctl start cups`), or set CUPS_SERVER "
                  "to a scheduler that runs" if server == DEFAULT_SERVER else
                  "start the CUPS scheduler at %s, or point CUPS_SERVER at one that runs" % server)
        down = Scheduler(ok=False, running=False, server=server)
        return _without_answer(down, (), False, (Problem(
            SCHEDULER_NOT_RUNNING, "the CUPS scheduler is not running (server: %s): %s"
            % (server, error.strerror or error), advice),))
    except TimeoutError as error:
        return _without_answer(not_asked, (), False, (Problem(
            SCHEDULER_NO_ANSWER, "%s (server: %s)" % (error, server),
            "restart the CUPS scheduler, or point CUPS_SERVER at one that works"),))
    except Exception as error:
        return _without_answer(not_asked, (), False, (Problem(
            QUERY_FAILED, "asking the CUPS scheduler (server: %s) failed: %s"
            % (server, _describe(error)),
            "check that the CUPS scheduler is running and lets this user list printers"),))
    if destination is not None:
        return _judge_one(answer, server, printer_limit, destination), answer
    return _judge(answer, server, printer_limit), answer


# ---- judging ----------------------------------------------------------------

def _reasons(keywords: Sequence[str]) -> Tuple[Reason, ...]:
    if not keywords or keywords == _NO_REASONS:
        return ()
    return tuple(Reason(k, classify_reason(k)) for k in keywords if k != "none")


_NO_REASONS = ["none"]


def _empty_trays(device: Mapping[str, Any]) -> List[str]:
    """The trays that printer-input-tray shows empty (level 0), the default
    source (media-col-default's media-source) first. media-ready is no
    guide: with the main tray empty it still lists the size loaded there."""
    empty = []
    for entry in device.get("input_trays") or ():
        fields = dict(part.split("=", 1) for part in str(entry).split(";") if "=" in part)
        if fields.get("level") == "0" and fields.get("name"):
            empty.append(fields["name"])
    source = device.get("default_source")
    return sorted(empty, key=lambda name: name != source)


def _printer_reasons(device: Mapping[str, Any]) -> Tuple[Reason, ...]:
    """The printer's own reasons. Out of paper blocks in whatever severity
    the printer gives it, whichever tray is empty: an IPP Everywhere
    printer that reports media-empty holds every job, even with paper in
    its default tray."""
    return _reasons(device.get("state_reasons") or ())


def _queue_reasons(printer: Mapping[str, Any], check: PrinterCheck) -> Tuple[Reason, ...]:
    """The scheduler's reasons. It relays offline-report when its backend
    last found the device offline; with a job waiting for the device and no
    answer from the printer now, that job is stuck: it blocks."""
    reasons = _reasons(printer.get("state_reasons") or ())
    if check.reachable is True or not printer.get("queued_jobs"):
        return reasons
    return tuple(Reason(r.keyword, BLOCKING) if r.keyword in ("offline-report", "offline-warning")
                 else r for r in reasons)


def _destination(**values: Any) -> Destination:
    """A Destination made without its frozen __init__, which sets each field
    through object.__setattr__: at thousands of queues that was a third of
    the judging. Every field is given."""
    made = object.__new__(Destination)
    made.__dict__.update(values)
    return made


_NOT_ASKED = {
    "scheme": "a %s device cannot be asked from here",
    "service-name": "its device is a DNS-SD service name, which only the scheduler resolves",
    "bad-uri": "its device URI cannot be parsed",
    "no-uri": "the scheduler gives no device URI",
    "remote": "the scheduler runs on another host, where its device URIs lead",
}


_CHECKS_OFF = PrinterCheck(message="printer checks are switched off")


def _printer_check(device: Optional[Mapping[str, Any]], limit: float) -> PrinterCheck:
    if device is None:
        return _CHECKS_OFF
    if not device.get("checked"):
        why = str(device.get("why") or "")
        text = _NOT_ASKED.get(why, "not asked (%s)" % why)
        return PrinterCheck(message=text % device.get("scheme", "") if "%s" in text else text)
    if device.get("asked") is False:
        # Not learnt is not fine: the printer may be off.
        return PrinterCheck(checked=True, reachable=None,
                            message=str(device.get("error") or "not asked"))
    reachable = bool(device.get("reachable"))
    if not reachable:
        if device.get("timed_out") and device.get("connected"):
            message = "it accepted a connection but did not answer within %g s" % limit
        elif device.get("timed_out"):
            message = "it takes no connection in time (switched off, or no route to it)"
        else:
            message = "it cannot be reached: %s" % (device.get("error") or "no answer")
        return PrinterCheck(checked=True, reachable=False, message=message,
                            tls_failed=device.get("failure") == "tls")
    error = str(device.get("error") or "")
    if error:  # it answered, but not with its state
        status = device.get("http_status")
        tls = device.get("failure") == "tls"
        return PrinterCheck(checked=True, reachable=False, message=error, tls_failed=tls,
                            http_status=status if isinstance(status, int) and not tls else None)
    state = device.get("state")
    if state is None and device.get("scheme") not in ("socket", "lpd"):
        # An IPP answer without a readable state is not a healthy printer; a
        # socket or lpd device has only its connection to tell.
        return PrinterCheck(checked=True, reachable=False,
                            message="it answered without its state (printer-state)")
    return PrinterCheck(checked=True, reachable=True,
                        state=_STATES.get(state, "stopped") if state is not None else None,
                        reasons=_printer_reasons(device),
                        message=str(device.get("state_message") or ""),
                        accepting=device.get("accepting"),
                        hold_default=device.get("hold_default"),
                        empty_trays=tuple(_empty_trays(device)))


def _destinations(answer: Mapping[str, Any], limit: float) -> Tuple[Destination, ...]:
    default = answer.get("default")
    default_base = default.split("/", 1)[0] if default else None  # NAME/INSTANCE prints to NAME
    seen = set()
    result = []
    for printer in answer.get("printers") or ():
        name = printer.get("name")
        if name is None or name in seen:  # the first of a name wins
            continue
        seen.add(name)
        state_code = printer.get("state")
        state: State = _STATES.get(state_code, "stopped") if state_code is not None else "stopped"
        check = _printer_check(printer.get("device"), limit)
        result.append(_destination(
            name=name, default=name == default_base,
            enabled=state != "stopped", accepting=printer.get("accepting") is True,
            state=state, message=printer.get("state_message") or "",
            reasons=_queue_reasons(printer, check),
            queued_jobs=int(printer.get("queued_jobs") or 0),
            device_uri=printer.get("device_uri") or "",
            printer=check,
            members=tuple(printer.get("members") or ()), member_ready=None,
            unreadable=str(printer.get("unreadable") or "")))
    # A class prints on the first of its printers that is free: it is ready
    # when one of them is.
    by_name = {d.name: d for d in result}
    return tuple(
        dataclasses.replace(d, member_ready=any(
            by_name[m].ready for m in d.members if m in by_name and not by_name[m].members))
        if d.members else d
        for d in result)


def _judge(answer: Mapping[str, Any], server: str, limit: float) -> Readiness:
    destinations = _destinations(answer, limit)
    scheduler = Scheduler(ok=True, running=True, server=server,
                          address=str(answer.get("server") or ""))
    problems: List[Problem] = []
    default = next((d for d in destinations if d.default), None)
    bad_default = ""
    if not answer.get("default_known", True):
        # A lost answer is not "no default": lp may name one that cannot print.
        bad_default = str(answer.get("default_error") or "no answer")
        problems.append(Problem(
            QUERY_FAILED, "the CUPS scheduler (server: %s) did not say which destination is "
            "the default: %s" % (server, bad_default),
            "check that the CUPS scheduler is running and answers, then ask again"))
    elif answer.get("default") is None and answer.get("default_error") and \
            answer.get("default_source") in ("environment", "lpoptions"):
        bad_default = str(answer["default_error"]).rstrip(".")
        problems.append(Problem(
            BAD_DEFAULT, "the default destination cannot be used: %s" % bad_default,
            "unset PRINTER and LPDEST, or set them (or the lpoptions default) to a destination "
            "that exists (`lpstat -e` lists them)"))
    elif answer.get("default") is not None and default is None:
        bad_default = "%s is not among the scheduler's destinations" % answer["default"]
        problems.append(Problem(BAD_DEFAULT, "the default destination cannot be used: %s"
                                % bad_default, "make an existing destination the default "
                                "(`lpadmin -d NAME`, or PRINTER or LPDEST)"))

    for d in [d for d in destinations if d.unreadable][:10]:
        problems.append(Problem(
            ANSWER_UNREADABLE, "the scheduler's answer about %s cannot be read: %s"
            % (d.name, d.unreadable), "restart or update the CUPS scheduler (server: %s); its "
            "answers do not follow IPP" % server, d.name))
    some_ready = any(d.ready for d in destinations)
    by_name = {d.name: d for d in destinations}
    if not destinations:
        problems.extend(_destination_problems(destinations))
    elif default is not None and not default.ready and not default.unreadable:
        problems.extend(_default_problems(default, by_name))
    if destinations and not some_ready:
        takers = [d for d in destinations if d.enabled and d.accepting and not d.unreadable]
        readable = [d for d in destinations if not d.unreadable]
        if not takers and readable:
            problems.extend(_destination_problems(readable))
        explained = {default.name} if default is not None else set()
        for d in sorted(takers, key=lambda d: not d.default):
            if d.name not in explained and len(explained) < 10:
                explained.add(d.name)
                problems.extend(_conditions(d, by_name))

    warnings: List[Problem] = []
    if default is None and not bad_default and some_ready:
        first = next(d for d in destinations if d.ready)
        warnings.append(Problem(
            NO_DEFAULT, "no destination is the default, so `lp FILE` without -d fails",
            "make one the default: `lpadmin -d %s`" % shlex.quote(first.name)))
    for d in destinations:
        warnings.extend(_warnings(d))
    ready = some_ready and not bad_default and (default is None or default.ready)
    return Readiness(scheduler, destinations, ready, tuple(problems), tuple(warnings))


def _judge_one(answer: Mapping[str, Any], server: str, limit: float, name: str) -> Readiness:
    """Whether a job sent to the destination name can print now."""
    destinations = _destinations(answer, limit)
    scheduler = Scheduler(ok=True, running=True, server=server,
                          address=str(answer.get("server") or ""))
    base = name.split("/", 1)[0]
    wanted = next((d for d in destinations if d.name.lower() == base.lower()), None)
    if wanted is None or not answer.get("destination_known", True):
        return Readiness(scheduler, destinations, False, (Problem(
            UNKNOWN_DESTINATION, "the CUPS scheduler (server: %s) has no destination %s"
            % (server, base), "`lpstat -e` lists the destinations; add a printer with `lpadmin "
            "-p %s -E -v DEVICE-URI -m everywhere`" % shlex.quote(base), base),))
    problems: List[Problem] = []
    if wanted.unreadable:
        problems.append(Problem(
            ANSWER_UNREADABLE, "the scheduler's answer about %s cannot be read: %s"
            % (wanted.name, wanted.unreadable), "restart or update the CUPS scheduler "
            "(server: %s); its answers do not follow IPP" % server, wanted.name))
    elif not wanted.ready:
        by_name = {d.name: d for d in destinations}
        if wanted.enabled and wanted.accepting:
            problems.extend(_conditions(wanted, by_name))
        else:
            problems.extend(_default_problems(wanted, by_name, named=True))
    warnings: List[Problem] = []
    for d in destinations:
        if d is wanted or d.name in wanted.members:
            warnings.extend(_warnings(d))
    return Readiness(scheduler, destinations, wanted.ready and not problems, tuple(problems),
                     tuple(warnings))


def _member_advice(d: Destination, members: Mapping[str, Destination]) -> str:
    """The commands that make the class d's printers take jobs, one per
    member, or where to look for those that only their printers hold up."""
    steps = []
    for name in d.members:
        member = members.get(name)
        quoted = shlex.quote(name)
        if member is None:
            steps.append("add %s back (`lpadmin -p %s -v DEVICE-URI`) or drop it from the "
                         "class (`lpadmin -p %s -r %s`)" % (name, quoted, quoted,
                                                           shlex.quote(d.name)))
            continue
        commands = (["`cupsenable %s`" % quoted] if not member.enabled else []) + \
            (["`cupsaccept %s`" % quoted] if not member.accepting else [])
        steps.append(" and ".join(commands) if commands else
                     "see why %s is not ready (`%s -d %s`)" % (name, _DIAGNOSTIC, quoted))
    return "make one of its printers ready: " + "; ".join(steps[:10])


_DIAGNOSTIC = "python3 -m vellomar.printing.cups"


def _conditions(d: Destination, members: Optional[Mapping[str, Destination]] = None
                ) -> List[Problem]:
    """Why d, which is enabled and accepts jobs, is not ready: its blocking
    reasons and its printer's, and a printer that does not answer."""
    problems = []
    queue_steps: Dict[str, List[str]] = {}
    for reason in d.queue_blocking:
        queue_steps.setdefault(_advice(reason.keyword, d.name, severity=reason.severity),
                               []).append(_shown(reason.keyword))
    for advice, shown in queue_steps.items():
        problems.append(Problem(
            PRINTER_CONDITION, "%s reports %s%s" % (d.name, " and ".join(shown),
                                                   ": " + d.message if d.message else ""),
            advice, d.name))
    # One problem for each step to take, naming every reason that it clears.
    server = _print_server(d.device_uri)
    steps: Dict[str, List[str]] = {}
    for reason in d.printer.reasons:
        if reason.severity == BLOCKING:
            steps.setdefault(_advice(reason.keyword, d.name, True, reason.severity, server),
                             []).append(_shown(reason.keyword))
    detail = d.printer.message
    if d.printer.empty_trays:
        detail = "%s%sempty: %s" % (detail, "; " if detail else "", ", ".join(d.printer.empty_trays))
    for advice, shown in steps.items():
        problems.append(Problem(
            PRINTER_CONDITION, "the printer of %s reports %s%s"
            % (d.name, " and ".join(shown), ": " + detail if detail else ""), advice, d.name))
    if d.printer.state == "stopped" and not any(r.severity == BLOCKING for r in d.printer.reasons):
        problems.append(Problem(
            PRINTER_CONDITION, "the printer of %s reports that it is stopped%s"
            % (d.name, ": " + d.printer.message if d.printer.message else ""),
            "see the printer's panel or status page", d.name))
    if d.printer.accepting is False:
        problems.append(Problem(
            PRINTER_CONDITION, "the printer of %s (%s) refuses jobs%s"
            % (d.name, d.device_uri, ": " + d.printer.message if d.printer.message else ""),
            _at_print_server("accepting", server) if server is not None else
            "let the printer itself accept jobs (at its panel or web page)", d.name))
    if d.member_ready is False:
        problems.append(Problem(
            PRINTER_CONDITION, "no printer of the class %s is ready (%s)"
            % (d.name, ", ".join(d.members)), _member_advice(d, members or {}), d.name))
    if d.printer.checked and d.printer.reachable is None:
        problems.append(Problem(
            PRINTER_NOT_ASKED, "the printer of %s (%s) could not be asked: %s"
            % (d.name, d.device_uri, d.printer.message),
            "raise the limit of open files (`ulimit -n`) and ask again"
            if "open files" in d.printer.message else
            "ask again: earlier questions kept the IPP client busy", d.name))
    if d.printer.checked and d.printer.reachable is False and d.printer.http_status:
        problems.append(Problem(
            PRINTER_REFUSED, "the printer of %s (%s) answered, but not with its state: %s"
            % (d.name, d.device_uri, d.printer.message),
            _http_advice(d.printer.http_status, d.name), d.name))
    elif d.printer.checked and d.printer.reachable is False:
        problems.append(Problem(
            PRINTER_UNREACHABLE, "the printer of %s (%s) cannot be used: %s"
            % (d.name, d.device_uri, d.printer.message),
            "the printer takes connections, but not with the encryption asked for: check its "
            "TLS settings and certificate at its web page, or the device URI's scheme "
            "(ipp:// or ipps://, `lpstat -v %s`)" % shlex.quote(d.name) if d.printer.tls_failed
            else "check the device URI of %s (`lpstat -v`)" % d.name
            if d.printer.message.startswith("it answered") else _SWITCH_ON, d.name))
    return problems


def _http_advice(status: int, name: str) -> str:
    quoted = shlex.quote(name)
    if status in (401, 403):
        return ("the printer asks for credentials: give the queue a user name and password "
                "(`lpadmin -p %s -o auth-info-required=username,password`, then "
                "`cupsenable %s`), or let this host print at the printer's web page"
                % (quoted, quoted))
    if status == 426:
        return ("the printer takes only encrypted connections: use an ipps:// device URI "
                "(`lpadmin -p %s -v ipps://...`)" % quoted)
    if status == 503:
        return "the printer is busy or starting: ask again in a minute"
    if 300 <= status < 400:
        return ("the printer's web server sends requests elsewhere: set the device URI of %s "
                "to the printer's IPP address (`lpstat -v %s` shows it)" % (name, quoted))
    return "check the device URI of %s (`lpstat -v %s`)" % (name, quoted)


def _default_problems(default: Destination, members: Mapping[str, Destination],
                      named: bool = False) -> List[Problem]:
    consequence = ", so a job sent to it does not print" if named else \
        ", so a job sent without naming a destination does not print"
    if default.enabled and default.accepting:
        return _conditions(default, members)
    quoted = shlex.quote(default.name)
    what = [("is stopped", "`cupsenable %s`" % quoted)] if not default.enabled else []
    if not default.accepting:
        what.append(("rejects jobs", "`cupsaccept %s`" % quoted))
    return [Problem(
        BAD_DEFAULT if not named else NOT_TAKING_JOBS,
        "%s %s %s%s" % ("the destination" if named else "the default destination", default.name,
                        " and ".join(state for state, _ in what), consequence),
        " and ".join(command for _, command in what) if named else
        "%s, or make a destination that takes jobs the default (`lpadmin -d NAME`, or PRINTER "
        "or LPDEST)" % " and ".join(command for _, command in what), default.name)]


def _destination_problems(destinations: Sequence[Destination]) -> List[Problem]:
    """Why none of destinations takes jobs, and the command that would fix
    it, for the default destination when it can."""
    if not destinations:
        return [Problem(NO_DESTINATION, "no printer or class has been added",
                        "add one with lpadmin, e.g. `lpadmin -p NAME -E -v DEVICE-URI "
                        "-m everywhere`, and make it the default with `lpadmin -d NAME`")]
    candidates = sorted(destinations, key=lambda d: not d.default)
    to_accept = [d for d in candidates if d.enabled and not d.accepting]
    to_enable = [d for d in candidates if d.accepting and not d.enabled]
    problems = []
    if to_accept or not to_enable:
        problems.append(Problem(
            NONE_ACCEPTING, "no enabled destination accepts jobs" if to_accept
            else "no destination accepts jobs",
            "let one accept jobs: `cupsaccept %s`" % shlex.quote((to_accept or candidates)[0].name)))
    if to_enable or not to_accept:
        problems.append(Problem(
            NONE_ENABLED, "every destination that accepts jobs is stopped" if to_enable
            else "every destination is stopped",
            "start one: `cupsenable %s`" % shlex.quote((to_enable or candidates)[0].name)))
    return problems


def _warnings(d: Destination) -> List[Problem]:
    warnings = []
    hold = d.printer.hold_default
    # The device URI is parsed only where a warning may name a print server:
    # at thousands of queues, most have none.
    server = _print_server(d.device_uri) if (hold and hold != "no-hold") or any(
        r.severity == WARNING for r in d.reasons + d.printer.reasons) else None
    for source, reasons in (("", d.reasons), ("the printer of ", d.printer.reasons)):
        for reason in reasons:
            if reason.severity == WARNING:
                warnings.append(Problem(PRINTER_WARNING, "%s%s reports %s"
                                        % (source, d.name, _shown(reason.keyword)),
                                        _advice(reason.keyword, d.name, bool(source),
                                                reason.severity, server), d.name))
    if hold and hold != "no-hold":
        # The local job completes as it reaches the print server, which then
        # keeps it until someone releases it there.
        warnings.append(Problem(
            HELD_FOR_RELEASE, "the printer of %s holds every new job until it is released "
            "(job-hold-until-default: %s)" % (d.name, hold),
            _at_print_server("held", server) if server is not None else
            "release each job at the printer's panel or web page", d.name))
    # The job being printed is counted among the queued ones.
    waiting = d.queued_jobs - (1 if d.state == "printing" and d.queued_jobs > 0 else 0)
    if waiting > 0:
        warnings.append(Problem(
            JOBS_QUEUED, "%d job%s waiting at %s" % (waiting, " is" if waiting == 1
                                                     else "s are", d.name),
            "a new job prints after them; `lpstat -o %s` lists them and `cancel -a %s` "
            "removes them" % ((shlex.quote(d.name),) * 2), d.name))
    return warnings
