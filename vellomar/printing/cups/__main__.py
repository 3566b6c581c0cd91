"""Reports what the printing client finds of CUPS on this host.

    python -m vellomar.printing.cups [--json] [-d NAME] [--no-printer-check] [--watch]
                                     [--version]

Exit status: 0 when printing can start now (CUPS usable, its scheduler
running, a destination ready, and the default destination, if one is set by
lpadmin, lpoptions, PRINTER or LPDEST, existing and ready; see
``readiness.Readiness``), 1 when CUPS printing is not usable here, 2 for
a usage error, 3 when it is usable but not ready, 4 when the compiled setup
module cannot be loaded by this interpreter, 5 when the report could not be
written (standard output closed, its reader gone, a full disk), with one
line on standard error saying why where that can be written. A probe that
fails is reported as a message; the others still run.

``--no-printer-check`` asks only the scheduler, not each destination's
printer. ``--destination NAME`` (``-d``) asks only whether a job sent to
NAME can print now, and only NAME's printer (a class: its members').

``--watch`` prints the report, then one timestamped line per destination
each time its readiness changes (what changed, its new verdict and the
advice), until Ctrl-C, which exits 0. With ``--json`` each of these is one
JSON object on one line: the report first, then objects with ``time``,
``changes`` (``destination``, ``what``) and the new answer's keys.

``--json`` prints one object: ``schema`` (3; a schema only adds keys to the
one before, and is raised when one changes meaning), ``version`` (the
package's), then one object per section, each with ``ok``: ``module`` (the
compiled module loaded), ``available`` (usable), ``cups_config``
(cups-config ran), ``settings`` (setup() answered), ``scheduler`` (the
scheduler's answer could be had; ``running``, ``server``, ``address``) and
``tools`` (none of the CUPS tools is missing); beside them, as
``readiness.check_readiness()`` answers, ``destinations`` (a list of
``name``, ``default``, ``enabled``, ``accepting``, ``state``, ``message``,
``ready``, ``reasons``, ``queued_jobs``, ``device_uri``, ``members`` and
``printer``),
``ready``, ``problems`` and ``warnings`` (``kind``, ``message``, ``advice``,
``destination``). Every text from outside (names, messages, a tool's or a
printer's answer) has its control characters, bidirectional formatting
characters and lone surrogates escaped, in the text and in the JSON. A
module that cannot be loaded leaves every section in place with ``ok``
false and the reason.
"""

import argparse
import contextlib
import errno
import io
import json
import os
import re
import shutil
import sys
import sysconfig
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple

from vellomar.printing.cups import __version__
from vellomar.printing.cups.readiness import DEFAULT_SERVER, check_readiness, sanitize

USABLE, NOT_USABLE, USAGE_ERROR, NOT_READY, CANNOT_LOAD = 0, 1, 2, 3, 4
CANNOT_WRITE = 5
SCHEMA = 3

Report = Dict[str, Any]

# The tools the module looks for, and the Debian package that brings each.
TOOLS: Tuple[Tuple[str, str], ...] = (
    ("/usr/bin/lp", "cups-client"),
    ("/usr/bin/lpoptions", "cups-client"),
    ("/usr/bin/lpstat", "cups-client"),
    ("cups-config", "libcups2-dev"),
)

_PACKAGE = os.path.join("vellomar", "printing", "cups")


def _describe_error(error: BaseException) -> str:
    text = _text(error)
    return "%s: %s" % (type(error).__name__, text) if text else type(error).__name__


def _text(value: object) -> str:
    if isinstance(value, bytes):
        return value.decode("utf-8", "backslashreplace")
    return sanitize(str(value))


def _timeout_fields(timeout: object) -> Dict[str, float]:
    fields = {}
    for name in ("query", "job"):
        value = getattr(timeout, name, None)
        if isinstance(value, (int, float)):
            fields[name] = value
    return fields


def probe(setup: Any) -> Report:
    """Runs the three probes of the setup module; never raises for a probe's
    failure. Returns a JSON-ready dict."""
    report: Report = {}
    try:
        usable, reason = setup.is_available()
        report["available"] = {"ok": bool(usable), "usable": bool(usable),
                               "reason": _text(reason)}
    except Exception as error:
        report["available"] = {"ok": False, "usable": False, "reason": _describe_error(error)}

    try:
        ok, payload = setup.get_version_info()
        if ok:
            report["cups_config"] = {"ok": True,
                                     "values": {_text(k): _text(v) for k, v in payload}}
        else:
            report["cups_config"] = {"ok": False, "error": _text(payload)}
    except Exception as error:
        report["cups_config"] = {"ok": False, "error": _describe_error(error)}

    try:
        settings = setup.setup()
        env = settings["env"]
        timeout = settings["timeout"]
        report["settings"] = {
            "ok": True,
            "env": {name: _text(env[name]) for name in ("SOFTWARE", "LANG") if name in env},
            "timeout": _timeout_fields(timeout) or _text(repr(timeout)),
        }
    except Exception as error:
        report["settings"] = {"ok": False, "error": _describe_error(error)}
    return report


def check_tools() -> Report:
    """The tools of TOOLS that are missing, each with its Debian package. The
    module names only the first tool it misses; a user needs them all."""
    search = os.environ.get("PATH", os.defpath)
    missing = [{"tool": tool, "package": package} for tool, package in TOOLS
               if not (os.path.exists(tool) if os.path.isabs(tool)
                       else shutil.which(tool, path=search))]
    return {"ok": not missing, "missing": missing}


def _builds_in(directory: str) -> List[str]:
    """The Python versions that the directory holds builds of the module for."""
    try:
        names = os.listdir(directory)
    except OSError:
        return []
    versions = []
    for name in sorted(names):
        found = re.match(r"setup\.cpython-(\d)(\d+)(d?)-", name)
        if found:
            versions.append("%s.%s%s" % found.groups())
    return sorted(versions, key=lambda v: [int(p) for p in re.findall(r"\d+", v)])


def explain_load_failure() -> str:
    """What to do when the compiled module does not load, from where the
    package came from and which builds lie around."""
    package_dir = os.path.dirname(os.path.abspath(__file__))
    wanted = "setup" + (sysconfig.get_config_var("EXT_SUFFIX") or ".so")
    this = "Python %d.%d (%s)" % (sys.version_info[0], sys.version_info[1], sys.executable)
    if os.path.exists(os.path.join(package_dir, wanted)):
        return ("%s is the build for %s, and it does not load: rebuild it "
                "(cmake --build build) with this interpreter's headers."
                % (os.path.join(package_dir, wanted), this))
    shadowed = [entry for entry in sys.path
                if entry and os.path.exists(os.path.join(entry, _PACKAGE, wanted))]
    lines = ["The package was imported from %s, which holds no build of the module for %s."
             % (package_dir, this)]
    if shadowed:
        lines.append("A build for it is in %s, but this package (a source tree, when run from "
                     "the repository's root) comes first on sys.path: run the command from "
                     "another directory, e.g. cd %s && %s -m vellomar.printing.cups."
                     % (os.path.join(shadowed[0], _PACKAGE), shadowed[0],
                        os.path.basename(sys.executable)))
        return "\n".join(lines)
    others = _builds_in(package_dir)
    if others:
        lines.append("It has builds for Python %s only: run the command with one of those, "
                     "or build for this interpreter too (cmake -S . -B build "
                     "-DSETUP_PYTHON_%d%d=%s)."
                     % (", ".join(others), sys.version_info[0], sys.version_info[1],
                        sys.executable))
    else:
        lines.append("Build the module (cmake -S . -B build && cmake --build build), then run "
                     "the command from outside the source tree with PYTHONPATH=build/stage, "
                     "or install the package (see the README).")
    return "\n".join(lines)


def cannot_load(error: BaseException) -> Report:
    """The report when the compiled module cannot be loaded: the same
    sections as always, none of them answered."""
    reason = "cannot load the setup module: %s" % _describe_error(error)
    return {
        "module": {"ok": False, "error": reason, "advice": explain_load_failure()},
        "available": {"ok": False, "usable": False, "reason": reason},
        "cups_config": {"ok": False, "error": reason},
        "settings": {"ok": False, "error": reason},
        "scheduler": {"ok": False, "running": None,
                      "server": _text(os.environ.get("CUPS_SERVER") or DEFAULT_SERVER),
                      "address": ""},
        "destinations": [],
        "ready": False,
        "problems": [],
        "warnings": [],
    }


def _table(rows: Sequence[Tuple[str, str]], indent: str = "  ") -> List[str]:
    width = max((len(name) for name, _ in rows), default=0)
    return ["%s%-*s  %s" % (indent, width, name, value) for name, value in rows]


def format_tools(tools: Report) -> List[str]:
    """Lines naming every missing tool, grouped by the package that brings
    it, and the command that installs them."""
    if tools["ok"]:
        return []
    packages: Dict[str, List[str]] = {}
    for entry in tools["missing"]:
        packages.setdefault(entry["package"], []).append(entry["tool"])
    lines = ["Missing: %s (Debian package %s)" % (", ".join(found), package)
             for package, found in packages.items()]
    lines.append("Install with: apt-get install %s" % " ".join(packages))
    return lines


def _sanitized(value: Any) -> Any:
    """value with every text in it passed through the one sanitizer: names,
    messages and answers come from the scheduler, the printers and tools."""
    if isinstance(value, str):
        return sanitize(value)
    if isinstance(value, dict):
        return {_sanitized(key): _sanitized(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_sanitized(item) for item in value]
    return value


def _reason_words(reasons: Sequence[Dict[str, str]]) -> str:
    return ", ".join(r["keyword"] + ("" if r["severity"] == "information" else
                                     " (%s)" % r["severity"]) for r in reasons)


def format_readiness(report: Report) -> List[str]:
    """The Scheduler and Destinations sections, and what stands in the way."""
    scheduler = report["scheduler"]
    state = "running" if scheduler["running"] else "not running" \
        if scheduler["running"] is False else "no answer"
    where = scheduler["server"]
    if scheduler.get("address") and scheduler["address"] != where:
        where = "%s, %s" % (where, scheduler["address"])
    lines = ["Scheduler: %s (server: %s)" % (state, where), ""]
    destinations = report["destinations"]
    lines.append("Destinations:" if destinations else "Destinations: none")
    rows = [(d["name"], "default" if d["default"] else "", d["state"],
             "accepting" if d["accepting"] else "rejecting",
             "ready" if d.get("ready") else "not ready") for d in destinations]
    widths = [max(len(row[i]) for row in rows) for i in range(5)] if rows else []
    for d, row in zip(destinations, rows):
        lines.append(("  " + "  ".join("%-*s" % (w, cell) for w, cell in zip(widths, row)))
                     .rstrip())
        details = []
        if d["message"]:
            details.append("message: %s" % d["message"])
        if d.get("reasons"):
            details.append("reasons: %s" % _reason_words(d["reasons"]))
        if d.get("queued_jobs"):
            details.append("jobs waiting: %d" % d["queued_jobs"])
        printer = d.get("printer")
        if printer:
            if printer["checked"] and printer["reachable"]:
                answer = "answers, %s" % (printer["state"] or "state unknown")
                if printer["reasons"]:
                    answer += ", reasons: %s" % _reason_words(printer["reasons"])
                if printer["message"]:
                    answer += ", message: %s" % printer["message"]
            else:
                answer = ("not checked: " if not printer["checked"] else "") + printer["message"]
            details.append("printer: %s" % answer)
        lines.extend("      " + detail for detail in details)
    lines.append("")
    if scheduler["ok"] and destinations and not report.get("asked_for"):
        default = next((d["name"] for d in destinations if d["default"]), None)
        lines.append("`lp FILE` prints to: %s" % default if default is not None else
                     "`lp FILE` without -d fails: there is no default destination")
    lines.append("Ready to print." if report["ready"] else "Not ready to print.")
    for problem in report["problems"]:
        lines.append("  - %s" % problem["message"])
        if problem["advice"]:
            lines.append("    what to do: %s" % problem["advice"])
    if report.get("warnings"):
        lines.append("Warnings:")
        for warning in report["warnings"]:
            lines.append("  - %s" % warning["message"])
            if warning["advice"]:
                lines.append("    what to do: %s" % warning["advice"])
    return lines


def format_text(report: Report) -> str:
    lines = []
    available = report["available"]
    if available["usable"]:
        lines.append("CUPS printing: usable")
    else:
        lines.append("CUPS printing: not usable: %s" % available["reason"])
    lines.extend(format_tools(report.get("tools", {"ok": True})))

    lines.append("")
    cups_config = report["cups_config"]
    if cups_config["ok"]:
        lines.append("cups-config:")
        values = list(cups_config["values"].items())
        lines.extend(_table(values) if values else ["  (no output)"])
    else:
        lines.append("cups-config: %s" % cups_config["error"])

    lines.append("")
    settings = report["settings"]
    if settings["ok"]:
        lines.append("Settings for CUPS tools run as child processes:")
        rows = [(name, json.dumps(value)) for name, value in settings["env"].items()]
        timeout = settings["timeout"]
        if isinstance(timeout, dict):
            rows += [("%s time limit" % name, "%s s" % value) for name, value in timeout.items()]
        else:
            rows.append(("time limits", timeout))
        lines.extend(_table(rows))
    else:
        lines.append("Settings for CUPS tools: %s" % settings["error"])

    lines.append("")
    lines.extend(format_readiness(report))
    return "\n".join(lines) + "\n"


def _written(out: Optional[IO[str]], err: Optional[IO[str]], text: str = "") -> bool:
    """Writes text to out and flushes it. When that fails (standard output
    closed, its reader gone, a full disk), says so in one line on err where
    that can be written, and returns False."""
    try:
        if out is None:  # Python's stand-in for a file descriptor 1 closed at start
            raise OSError(errno.EBADF, "standard output is closed")
        out.write(text)
        out.flush()
        return True
    except UnicodeError:
        raise  # a fault of the report, not of where it goes
    except (OSError, ValueError) as error:
        failure: BaseException = error
    _silence(out)
    try:
        if err is not None:
            err.write("python -m vellomar.printing.cups: the report could not be written: %s\n"
                      % _describe_error(failure))
            err.flush()
    except (OSError, ValueError):
        _silence(err)
    return False


def _silence(stream: Optional[IO[str]]) -> None:
    """Points a standard stream that failed at /dev/null: what the failed
    write left in its buffer would fail again in Python's own flush at exit,
    with a warning on stderr and exit status 120."""
    if stream is None or stream not in (sys.stdout, sys.stderr):
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Optional[Sequence[str]] = None, out: Optional[IO[str]] = None,
         err: Optional[IO[str]] = None) -> int:
    out = out or sys.stdout
    err = err or sys.stderr
    # Names may hold any character; a terminal or file that is not UTF-8
    # gets escapes for what it cannot show, not a traceback.
    for stream in (out, err):
        reconfigure = getattr(stream, "reconfigure", None)
        if stream in (sys.stdout, sys.stderr) and callable(reconfigure):
            try:
                reconfigure(errors="backslashreplace")
            except (OSError, ValueError):
                pass
    parser = argparse.ArgumentParser(
        prog="python -m vellomar.printing.cups",
        description="Report whether CUPS printing is usable on this host, what cups-config "
                    "says about the CUPS installation, the settings for running CUPS "
                    "tools as child processes, and whether the CUPS scheduler can print "
                    "now.",
        epilog="Exit status: 0 ready to print, 1 not usable, 2 usage error, 3 usable but not "
               "ready, 4 the compiled module cannot be loaded, 5 the report could not be "
               "written.")
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    parser.add_argument("-d", "--destination", metavar="NAME",
                        help="ask only whether a job sent to NAME can print now")
    parser.add_argument("--no-printer-check", action="store_true",
                        help="ask only the scheduler, not each destination's printer")
    parser.add_argument("--watch", action="store_true",
                        help="after the report, print a line each time readiness changes, "
                             "until Ctrl-C")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    # argparse writes --help and --version to sys.stdout and, from 3.11 on,
    # drops a failure to write them: they go through the report's own path.
    shown = io.StringIO()
    try:
        with contextlib.redirect_stdout(shown):
            args = parser.parse_args(argv)
    except SystemExit:
        if shown.getvalue() and not _written(out, err, shown.getvalue()):
            return CANNOT_WRITE
        raise

    if args.destination is not None and not args.destination:
        parser.error("--destination takes a destination's name")
    report: Report = {"schema": SCHEMA, "version": __version__,
                      "asked_for": args.destination or None}
    try:
        from vellomar.printing.cups import setup
    except Exception as error:
        report.update(cannot_load(error))
        report["tools"] = check_tools()
        module = report["module"]
        _written(err, None, "".join("%s\n" % line for line in
                                    [module["error"], module["advice"]]
                                    + format_tools(report["tools"])))
        if args.json and not _written(out, err, json.dumps(report, indent=2) + "\n"):
            return CANNOT_WRITE
        return CANNOT_LOAD

    report["module"] = {"ok": True, "file": _text(getattr(setup, "__file__", ""))}
    report.update(probe(setup))
    if args.watch:
        return _watch(args, report, setup, out, err)
    report.update(check_readiness(setup_module=setup, check_printers=not args.no_printer_check,
                                  destination=args.destination or None).as_dict())
    return _report(args, report, out, err)


def _report(args: argparse.Namespace, report: Report, out: IO[str], err: IO[str]) -> int:
    report["tools"] = check_tools()
    report = _sanitized(report)
    if not _written(out, err, json.dumps(report, indent=None if args.watch else 2) + "\n"
                    if args.json else format_text(report)):
        return CANNOT_WRITE
    if not report["available"]["usable"]:
        return NOT_USABLE
    return USABLE if report["ready"] else NOT_READY


def change_lines(before: Any, after: Any, when: str) -> List[str]:
    """One line per destination (then one for the whole answer) that
    changed: what changed, the new verdict, and the advice if not ready."""
    from vellomar.printing.cups.watch import changes
    grouped: Dict[Optional[str], List[str]] = {}
    for change in changes(before, after):
        whats = grouped.setdefault(change.destination, [])
        if change.what not in ("ready", "not ready"):
            whats.append(change.what)
    lines = []
    shown = set()
    for name in sorted(grouped, key=lambda key: (key is None, key or "")):
        found = [d for d in after.destinations if d.name == name]
        ready = found[0].ready if found else after.ready if name is None else None
        advice = ""
        if ready is False:
            advice = next((p.advice for p in after.problems if p.destination == name), "") or \
                next((p.advice for p in after.problems if p.destination is None), "")
        if advice in shown:
            advice = ""
        shown.add(advice)
        words = ", ".join(sanitize(what) for what in grouped[name]) or (
            "now ready" if ready else "now not ready")
        verdict = "" if ready is None or not grouped[name] else "; ready" if ready \
            else "; not ready"
        lines.append("%s %s: %s%s%s" % (when, sanitize(name) if name else "all", words, verdict,
                                        ": " + sanitize(advice) if advice else ""))
    return lines


def _watch(args: argparse.Namespace, report: Report, setup: Any, out: IO[str],
           err: IO[str]) -> int:
    import time
    from vellomar.printing.cups.watch import changes, watch_readiness
    try:
        with watch_readiness(args.destination or None, setup_module=setup,
                             check_printers=not args.no_printer_check) as watch:
            previous = next(watch)
            report.update(previous.as_dict())
            status = _report(args, report, out, err)
            if status == CANNOT_WRITE:
                return status
            for readiness in watch:
                when = time.strftime("%Y-%m-%dT%H:%M:%S%z")
                if args.json:
                    entry: Report = {"time": when, "changes": [
                        {"destination": c.destination, "what": c.what}
                        for c in changes(previous, readiness)]}
                    entry.update(readiness.as_dict())
                    text = json.dumps(_sanitized(entry)) + "\n"
                else:
                    text = "".join(line + "\n" for line in
                                   change_lines(previous, readiness, when))
                if not _written(out, err, text):
                    return CANNOT_WRITE
                previous = readiness
    except KeyboardInterrupt:
        return USABLE
    return USABLE


if __name__ == "__main__":
    sys.exit(main())
