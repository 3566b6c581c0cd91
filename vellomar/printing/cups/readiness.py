"""Can this host print now? The answer of the CUPS scheduler itself.

``check_readiness()`` asks the scheduler with ``lpstat`` (``-r`` whether it
runs, ``-d`` the default destination, ``-e`` the destinations' names, ``-p``
and ``-a`` each destination's state and whether it accepts jobs) and returns
an immutable ``Readiness``: the scheduler, the destinations, whether
printing can start now, and the problems that stand in the way, each with
advice a person can act on.

The queries run through the package's ``call`` with the environment and the
query time limit from the setup module's ``setup()``, all at once: a
scheduler that hangs costs one time limit, not five. Where a state message
mimics the lines of a destination listed after it, the destinations involved
are asked about one at a time (``lpstat -p NAME``, ``-a NAME``), 16 at most
together, all within one more time limit: past it, those not yet answered
count as undetermined, so the check ends within about two time limits
whatever a message says. A query that fails or times out is reported as a
problem; the others still count.
"""

from __future__ import annotations

import re
import shlex
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import (TYPE_CHECKING, AbstractSet, Callable, Dict, List, Literal, Mapping,
                    NamedTuple, Optional, Pattern, Protocol, Sequence, Set, Tuple)

from .call import CommandFailed, call

if TYPE_CHECKING:
    from .setup import Settings

__all__ = [
    "Ask", "Destination", "Problem", "Readiness", "Scheduler", "check_readiness",
    "parse_destinations",
    "TOOLS_MISSING", "NO_SETTINGS", "QUERY_FAILED", "SCHEDULER_NOT_RUNNING",
    "NO_DESTINATION", "NONE_ACCEPTING", "NONE_ENABLED", "BAD_DEFAULT", "UNDETERMINED",
]

State = Literal["idle", "printing", "stopped"]

# Kinds of problem, stable for programs that match on them.
TOOLS_MISSING = "tools-missing"
NO_SETTINGS = "no-settings"
QUERY_FAILED = "query-failed"
SCHEDULER_NOT_RUNNING = "scheduler-not-running"
NO_DESTINATION = "no-destination"
NONE_ACCEPTING = "none-accepting"
NONE_ENABLED = "none-enabled"
BAD_DEFAULT = "bad-default"
UNDETERMINED = "undetermined"

DEFAULT_SERVER = "default"


class SetupModule(Protocol):
    """What is used of the setup extension (or a stand-in for it)."""

    def is_available(self) -> Tuple[bool, str]: ...

    def setup(self) -> Settings: ...


@dataclass(frozen=True)
class Problem:
    """What stands in the way (kind: one of the constants above), and the
    step a person can take."""

    kind: str
    message: str
    advice: str


@dataclass(frozen=True)
class Scheduler:
    ok: bool  # whether `lpstat -r` answered
    running: bool
    server: str  # CUPS_SERVER as the tools see it, or "default"


@dataclass(frozen=True)
class Destination:
    """A printer or class: ``enabled`` is false when it is stopped, and
    ``message`` is its state message or why it rejects jobs."""

    name: str
    default: bool
    enabled: bool
    accepting: bool
    state: State
    message: str


@dataclass(frozen=True)
class Readiness:
    """``ready`` when the CUPS tools are present, the scheduler runs, a
    destination is enabled and accepts jobs, the default destination (set
    with lpadmin, PRINTER or LPDEST), if any, exists and is enabled and
    accepts jobs, and ``lpstat -e`` answered."""

    scheduler: Scheduler
    destinations: Tuple[Destination, ...]
    ready: bool
    problems: Tuple[Problem, ...]

    def as_dict(self) -> Dict[str, object]:
        """The JSON-ready form: scheduler, destinations, ready, problems."""
        return {
            "scheduler": {"ok": self.scheduler.ok, "running": self.scheduler.running,
                          "server": self.scheduler.server},
            "destinations": [
                {"name": d.name, "default": d.default, "enabled": d.enabled,
                 "accepting": d.accepting, "state": d.state, "message": d.message}
                for d in self.destinations],
            "ready": self.ready,
            "problems": [{"kind": p.kind, "message": p.message, "advice": p.advice}
                         for p in self.problems],
        }


def _describe(error: BaseException) -> str:
    if isinstance(error, subprocess.TimeoutExpired):
        return "no answer within %g s" % error.timeout
    text = str(error)
    return "%s: %s" % (type(error).__name__, text) if text else type(error).__name__


def _encodable(text: str) -> str:
    """text with the undecodable bytes that call keeps as surrogates shown as
    backslash escapes: a strict UTF-8 stream cannot write a surrogate."""
    try:
        raw = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a surrogate that no undecodable byte became
        raw = text.encode("utf-8", "backslashreplace")
    return raw.decode("utf-8", "backslashreplace")


def _clean(text: str) -> str:
    # Control characters would break the layout of the report.
    text = _encodable(text).replace("\t", " ")
    return re.sub(r"[\x00-\x1f\x7f]", lambda m: "\\x%02x" % ord(m.group()), text)


@dataclass(frozen=True)
class _Answer:
    """The outcome of one lpstat query: its output, or why there is none."""

    args: Tuple[str, ...]
    out: Optional[str] = None
    error: Optional[BaseException] = None

    @property
    def command(self) -> str:
        return " ".join(("lpstat",) + self.args)


def _query(args: Tuple[str, ...], env: Mapping[str, str], limit: float) -> _Answer:
    try:
        out, _err = call(["lpstat", *args], dict(env), limit)
    except CommandFailed as error:
        if args in (("-p",), ("-a",)) and "No destinations added" in error.stderr:
            return _Answer(args, "")  # lpstat's way of saying "none": status 1
        return _Answer(args, error=error)
    except Exception as error:  # a broken query must not break the report
        return _Answer(args, error=error)
    return _Answer(args, out)


# The first line of a destination's record in `lpstat -p` and `lpstat -a`:
# the name and the rest of the line.
_PRINTER_LINE = re.compile(r"printer (\S+) (.*)")
_ACCEPTING_LINE = re.compile(r"(\S+) ((?:not )?accepting requests.*)")
_FIRST_LINE = {"-p": _PRINTER_LINE, "-a": _ACCEPTING_LINE}


def _records(out: str, first_line: Pattern[str], names: Optional[AbstractSet[str]]
             ) -> Tuple[List[Tuple[str, str, str]], Set[str]]:
    """(name, rest of the line, message) per record of out, and the names
    whose records cannot be told from message text.

    A state message may hold newlines, which lpstat prints unindented, so a
    line opens a record only for a name that the scheduler lists (names; any
    when None) and has not opened one yet: the scheduler prints a
    destination's own line before its message. Every other line continues
    the message. A message can still fake the first line of a destination
    listed after it, ahead of the real one: so when a name's first line
    shows up again, either line may be text, and that name, the record its
    first line cut short and the one the later line would continue are
    uncertain."""
    records: List[Tuple[str, str, List[str]]] = []
    cut: Dict[str, Optional[str]] = {}  # name -> the record open when its first line came
    uncertain: Set[str] = set()
    for line in out.splitlines():
        match = None if line[:1] in " \t" else first_line.match(line)
        name = match.group(1) if match and (names is None or match.group(1) in names) else None
        current = records[-1][0] if records else None
        if match and name is not None and name not in cut:
            cut[name] = current
            records.append((name, match.group(2), []))
            continue
        if name is not None:
            uncertain.update(n for n in (name, cut[name], current) if n is not None)
        if line.strip() and records:
            records[-1][2].append(line.strip())
    return [(name, rest, " ".join(message)) for name, rest, message in records], uncertain


def _printers(records: List[Tuple[str, str, str]]) -> Dict[str, Tuple[bool, State, str]]:
    """`lpstat -p` records as {name: (enabled, state, message)}."""
    printers: Dict[str, Tuple[bool, State, str]] = {}
    for name, status, message in records:
        state: State
        if status.startswith("disabled"):
            state = "stopped"
        elif status.startswith("now printing"):
            state = "printing"
        else:
            state = "idle"
        printers[_clean(name)] = (state != "stopped", state, _clean(message))
    return printers


def _accepting(records: List[Tuple[str, str, str]]) -> Dict[str, Tuple[bool, str]]:
    """`lpstat -a` records as {name: (accepting, message)}."""
    return {_clean(name): (rest.startswith("accepting"), _clean(message))
            for name, rest, message in records}


def _default(out: str) -> str:
    """The default destination that `lpstat -d` names, or ""."""
    match = re.search(r"^system default destination: (\S+)", out, re.MULTILINE)
    return _clean(match.group(1)) if match else ""


def _default_error(out: str) -> str:
    """Why `lpstat -d` names no default: PRINTER or LPDEST naming a
    destination that does not exist (lpstat says so on its output), or ""."""
    match = re.search(r"^lpstat: (?:error - )?(.*)", out, re.MULTILINE)
    return _clean(match.group(1)).rstrip(".") if match else ""


def _about(option: str, base: str) -> Tuple[str, ...]:
    """The arguments of `lpstat -p NAME` or `lpstat -a NAME` (option). A
    name that starts with "-" goes with the option: apart, lpstat would
    take it for an option of its own."""
    return (option + base,) if base.startswith("-") else (option, base)


# Runs lpstat with each of the argument tuples given, all at once, and
# returns their outputs in the same order (None for a query that failed).
Ask = Callable[[Sequence[Tuple[str, ...]]], Sequence[Optional[str]]]

_NOT_STATED: Tuple[bool, State, str] = (False, "stopped", "")


class _Parsed(NamedTuple):
    destinations: Tuple[Destination, ...]
    # Destinations that the listing leaves in doubt and that were not
    # settled: with a comma in the name (lpstat reads "a,b" as a and b, so
    # it cannot be asked about alone), and those whose own query failed.
    with_comma: Tuple[str, ...]
    failed: Tuple[str, ...]


def parse_destinations(printers: str, accepting: str, default: str,
                       names: Optional[str] = None,
                       ask: Optional[Ask] = None) -> Tuple[Destination, ...]:
    """The destinations that the outputs of `lpstat -p`, `lpstat -a` and
    `lpstat -d` describe, of those that `lpstat -e` (names, when given)
    lists; a line that opens no record continues the message of the one
    before. A destination that one output misses is kept with what the
    other says; what neither says counts against it.

    Where a message makes an output ambiguous (a destination's first line
    shows up twice), ask is called once with `-p NAME` or `-a NAME` for each
    destination involved, which print that destination's record alone, and
    their answers take the place of the listing's; an instance NAME/INSTANCE
    is asked about as NAME. A name with a comma is never asked about (lpstat
    would take it for a list of names). Without ask, or where its query
    failed or could not be made, what the listing said of them counts for
    nothing."""
    return _parse(printers, accepting, default, names, ask).destinations


def _parse(printers: str, accepting: str, default: str, names: Optional[str],
           ask: Optional[Ask]) -> _Parsed:
    listed = None if names is None else frozenset(names.split())
    printer_records, unsure_printers = _records(printers, _PRINTER_LINE, listed)
    accepting_records, unsure_accepting = _records(accepting, _ACCEPTING_LINE, listed)
    states = _printers(printer_records)
    takes_jobs = _accepting(accepting_records)

    # What to ask: lpstat -p NAME prints NAME's record alone, so that a line
    # naming another destination there is message text. An instance has no
    # record of its own there: its state is that of its destination.
    unsure = [("-p", name, name.split("/", 1)[0]) for name in sorted(unsure_printers)] + [
        ("-a", name, name.split("/", 1)[0]) for name in sorted(unsure_accepting)]
    queries = sorted({_about(option, base) for option, _, base in unsure if "," not in base})
    answers = dict(zip(queries, ask(queries) if ask and queries else ()))
    with_comma: Set[str] = set()
    failed: Set[str] = set()
    for option, name, base in unsure:
        answer = None if "," in base else answers.get(_about(option, base))
        if answer is None:
            (with_comma if "," in base else failed).add(_clean(name))
        own = _records(answer or "", _FIRST_LINE[option], {base})[0]
        if option == "-p":
            states[_clean(name)] = _printers(own).get(_clean(base), _NOT_STATED)
        else:
            takes_jobs[_clean(name)] = _accepting(own).get(_clean(base), (False, ""))

    default_name = _default(default)
    base = default_name.split("/", 1)[0]  # an instance "name/instance" prints to name
    order = list(states) + [name for name in takes_jobs if name not in states]
    result = []
    for name in order:
        enabled, state, message = states.get(name, _NOT_STATED)
        takes, reason = takes_jobs.get(name, (False, ""))
        result.append(Destination(name=name, default=bool(default_name) and name == base,
                                  enabled=enabled, accepting=takes, state=state,
                                  message=message or reason))
    return _Parsed(tuple(result), tuple(sorted(with_comma)), tuple(sorted(failed)))


def _server(env: Mapping[str, str]) -> str:
    return _clean(env.get("CUPS_SERVER") or DEFAULT_SERVER)


def _failed(answer: _Answer, server: str) -> Problem:
    assert answer.error is not None
    return Problem(QUERY_FAILED, "%s failed: %s" % (answer.command, _describe(answer.error)),
                   "check that the CUPS scheduler (server: %s) is running and answers" % server)


def check_readiness(setup_module: Optional[SetupModule] = None) -> Readiness:
    """Asks the CUPS scheduler whether printing can start now.

    ``setup_module`` defaults to the package's setup extension; importing it
    may raise ``ImportError``. Nothing else raises: every failure of a probe
    becomes a problem in the result.
    """
    if setup_module is None:
        from . import setup as setup_extension
        setup_module = setup_extension
    not_asked = Scheduler(ok=False, running=False, server=DEFAULT_SERVER)
    try:
        usable, reason = setup_module.is_available()
    except Exception as error:
        usable, reason = False, _describe(error)
    if not usable:
        return Readiness(not_asked, (), False, (Problem(
            TOOLS_MISSING, "CUPS printing is not usable here: %s" % _clean(str(reason)),
            "install the CUPS client tools (Debian: apt-get install cups-client)"),))
    try:
        settings = setup_module.setup()
        env = dict(settings["env"])
        limit = float(settings["timeout"].query)
    except Exception as error:
        return Readiness(not_asked, (), False, (Problem(
            NO_SETTINGS, "no settings for running the CUPS tools: %s" % _describe(error),
            "reinstall the printing client's CUPS support"),))

    # lpstat speaks the language of LC_ALL, LC_MESSAGES or LANGUAGE before
    # LANG, which setup() sets to C, and the parsers read C; CUPS even takes
    # LC_MESSAGES over LC_ALL=C, so setting LC_ALL would not be enough.
    for name in ("LC_ALL", "LC_MESSAGES", "LANGUAGE"):
        env.pop(name, None)
    server = _server(env)
    queries = (("-r",), ("-d",), ("-e",), ("-p",), ("-a",))
    with ThreadPoolExecutor(max_workers=len(queries)) as pool:
        status, default, names, printers, accepting = pool.map(
            lambda args: _query(args, env, limit), queries)

    problems: List[Problem] = []
    if status.out is None:
        problems.append(_failed(status, server))
    running = status.out is not None and bool(
        re.search(r"^scheduler is running", status.out, re.MULTILINE))
    scheduler = Scheduler(ok=status.out is not None, running=running, server=server)
    if scheduler.ok and not running:
        problems.append(Problem(
            SCHEDULER_NOT_RUNNING, "the CUPS scheduler is not running (server: %s)" % server,
            "start the CUPS service (e.g. `systemctl start cups`), or set CUPS_SERVER "
            "to a scheduler that runs" if server == DEFAULT_SERVER else
            "start the CUPS scheduler at %s, or point CUPS_SERVER at one that runs" % server))
    elif running:
        # Once the scheduler is known not to run, each failed query would
        # only repeat that.
        problems.extend(_failed(answer, server)
                        for answer in (default, names, printers, accepting)
                        if answer.out is None)

    asked: List[_Answer] = []

    def ask(queries: Sequence[Tuple[str, ...]]) -> List[Optional[str]]:
        # A bound on the processes, since a message can name every
        # destination there is, and one time limit for them all, so that
        # hung queries cost one limit however many there are: a query not
        # started by then counts as one that timed out.
        end = time.monotonic() + limit

        def one(args: Tuple[str, ...]) -> _Answer:
            left = end - time.monotonic()
            if left <= 0:
                return _Answer(args, error=subprocess.TimeoutExpired(["lpstat", *args], limit))
            return _query(args, env, left)

        with ThreadPoolExecutor(max_workers=min(len(queries), 16)) as pool:
            answers = list(pool.map(one, queries))
        asked.extend(answers)
        return [answer.out for answer in answers]

    parsed = _parse(printers.out or "", accepting.out or "", default.out or "", names.out, ask)
    destinations = parsed.destinations
    if running and parsed.failed:
        errors = [answer.error for answer in asked if answer.error is not None]
        timed_out = any(isinstance(error, subprocess.TimeoutExpired) for error in errors)
        problems.append(Problem(
            QUERY_FAILED, "asking about each destination alone (lpstat -p NAME, -a NAME) "
            "failed for %s: %s" % (_some(parsed.failed),
                                   "no answer within %g s" % limit if timed_out or not errors
                                   else _describe(errors[0])),
            "check that the CUPS scheduler (server: %s) is running and answers" % server))
    if running and parsed.with_comma:
        problems.append(Problem(
            UNDETERMINED, "cannot tell the state of %s: a state message imitates its lines, "
            "and lpstat takes a name with a comma for a list of names" % _some(parsed.with_comma),
            "rename it without a comma, or clear the state message of the destination listed "
            "before it (`cupsenable NAME`, `cupsaccept NAME`)"))
    takes_jobs = running and any(d.enabled and d.accepting for d in destinations)
    # lp without -d sends a job to the default, so one that the environment
    # names but that does not exist makes such jobs fail, however many
    # destinations take them. (With no default at all, the client has to
    # name a destination anyway.)
    bad_default = _default_error(default.out or "") if running else ""
    if bad_default:
        problems.append(Problem(
            BAD_DEFAULT, "the default destination cannot be used: %s" % bad_default,
            "unset PRINTER and LPDEST, or set them to a destination that exists "
            "(`lpstat -e` lists them)"))
    # Likewise a default that rejects jobs makes them fail, and one that is
    # stopped holds them.
    own_default = next((d for d in destinations if d.default), None)
    default_stuck = own_default is not None and not (own_default.enabled and own_default.accepting)
    if (takes_jobs and names.out is not None and own_default is not None and default_stuck
            and own_default.name not in parsed.failed + parsed.with_comma):
        problems.append(_default_problem(own_default))
    if (running and not takes_jobs and printers.out is not None and accepting.out is not None
            and names.out is not None and not parsed.failed and not parsed.with_comma):
        problems.extend(_destination_problems(destinations))
    # Without the names from lpstat -e, any line of the listing opens a
    # record, so a message could make up a destination that takes jobs.
    ready = takes_jobs and not bad_default and not default_stuck and names.out is not None
    return Readiness(scheduler, destinations, ready, tuple(problems))


def _some(names: Sequence[str]) -> str:
    """names, the first few of them, for a message."""
    shown = ", ".join(names[:5])
    return shown + (" and %d more" % (len(names) - 5) if len(names) > 5 else "")


def _default_problem(default: Destination) -> Problem:
    quoted = shlex.quote(default.name)
    what = [("is stopped", "`cupsenable %s`" % quoted)] if not default.enabled else []
    if not default.accepting:
        what.append(("rejects jobs", "`cupsaccept %s`" % quoted))
    return Problem(
        BAD_DEFAULT, "the default destination %s %s, so a job sent without naming a "
        "destination does not print" % (default.name, " and ".join(state for state, _ in what)),
        "%s, or make a destination that takes jobs the default (`lpadmin -d NAME`, or PRINTER "
        "or LPDEST)" % " and ".join(command for _, command in what))


def _destination_problems(destinations: Sequence[Destination]) -> List[Problem]:
    """Why none of destinations (none of which is ready) takes jobs, and the
    command that would fix it, for the default destination when it can."""
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
