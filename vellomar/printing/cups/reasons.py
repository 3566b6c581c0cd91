"""printer-state-reasons: what each keyword means for printing now.

Every keyword gets its severity from the first clause of the rule below
that matches it. The rule is written for the registered keywords (IANA's
registry, as cups-common's catalogue has them: ``reason_titles.TITLES``)
and for CUPS's own, which it lists one by one. A keyword that no clause
knows keeps the IPP standard's rule: "-report" informs, "-warning" warns,
"-error" and no suffix block.

The rule, in order:

1. ``none``, CUPS's own keywords and the queue's and printer's states are
   looked up by name (``_NAMED``).
2. A keyword that ends in "-report", "-warning" or "-error" has that
   severity (the standard's suffix rule; 21 registered names end so).
   Out of paper and out of marker are the exception: they block whatever
   suffix the printer gives them, since a printer that is out of paper
   says ``media-empty-report`` while idle and the next job then stalls,
   whichever of its trays is empty.
3. A fax modem's condition does not touch printing: information.
4. A finisher's (stapler, folder, ...) events inform; its advisories and
   faults warn: pages still come out, unfinished, and only a job that asks
   for that finishing waits for it.
5. Events, which report a change that has happened (added, removed,
   closed, turned on, configuration changes, requests to identify, resets,
   warming up and cooling down): information.
6. Advisories, which say that something will run out or wear out
   (almost empty or full, near a limit or its end of life, low, a
   recoverable failure, a temperature off its range on a 3D printer):
   warning.
7. Faults (empty, full, missing, jammed, open, failed, at a limit or at
   its end of life, offline, out of memory, a manual feed awaited):
   blocking.
8. ``other`` and ``unknown`` say nothing more than the standard's
   unsuffixed keyword: blocking.
9. Any other keyword: the standard's suffix rule ("unregistered").
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from typing import Dict, Literal, Optional, Tuple

from .reason_titles import TITLES

__all__ = ["Clause", "BLOCKING", "WARNING", "INFORMATION", "clause_of", "classify_reason",
           "title", "QUEUE_REASONS", "OUT_OF_PAPER"]

Severity = Literal["blocking", "warning", "information"]
BLOCKING: Severity = "blocking"
WARNING: Severity = "warning"
INFORMATION: Severity = "information"


@dataclass(frozen=True)
class Clause:
    """The clause of the rule that judged a keyword: its family and the
    severity that family has."""

    family: str
    severity: Severity


def _clause(family: str, severity: Severity) -> Clause:
    return Clause(family, severity)


NONE = _clause("none", INFORMATION)
QUEUE_STOPPED = _clause("queue-stopped", BLOCKING)
QUEUE_HOLDING = _clause("queue-holding", WARNING)
SPOOL_FULL = _clause("spool-full", BLOCKING)
PRINTER_STATE = _clause("printer-state", INFORMATION)
PRINTER_DOWN = _clause("printer-down", BLOCKING)
PARTLY_STOPPED = _clause("partly-stopped", WARNING)
UNREACHABLE = _clause("unreachable", BLOCKING)
LAST_OFFLINE = _clause("last-seen-offline", WARNING)
CUPS_INFORMATION = _clause("cups-information", INFORMATION)
CUPS_HELD = _clause("cups-held-at-server", WARNING)
CUPS_STOPPED = _clause("cups-stopped-at-server", BLOCKING)
CUPS_LAST_ABORTED = _clause("cups-last-job-aborted", WARNING)
CUPS_DRIVER = _clause("cups-driver", BLOCKING)
SUFFIX_REPORT = _clause("suffix-report", INFORMATION)
SUFFIX_WARNING = _clause("suffix-warning", WARNING)
SUFFIX_ERROR = _clause("suffix-error", BLOCKING)
OUT_OF_SUPPLY = _clause("out-of-supply", BLOCKING)
FAX = _clause("fax-modem", INFORMATION)
FINISHER_EVENT = _clause("finisher-event", INFORMATION)
FINISHER_FAULT = _clause("finisher-fault", WARNING)
EVENT = _clause("event", INFORMATION)
ADVISORY = _clause("advisory", WARNING)
FAULT = _clause("fault", BLOCKING)
UNSPECIFIED = _clause("unspecified", BLOCKING)
UNREGISTERED_REPORT = _clause("unregistered-report", INFORMATION)
UNREGISTERED_WARNING = _clause("unregistered-warning", WARNING)
UNREGISTERED = _clause("unregistered", BLOCKING)

# Clause 1: by name.
_NAMED: Dict[str, Clause] = {
    "none": NONE,
    # A person stopped the queue or the printer; every job waits until it is
    # resumed.
    "paused": QUEUE_STOPPED, "moving-to-paused": QUEUE_STOPPED, "stopping": QUEUE_STOPPED,
    "shutdown": PRINTER_DOWN, "deactivated": PRINTER_DOWN, "power-down": PRINTER_DOWN,
    # cupsdisable --hold: with CUPS 2.4.2 the next job still printed, locally
    # and at a print server.
    "hold-new-jobs": QUEUE_HOLDING,
    "spool-area-full": SPOOL_FULL,
    # Some of the printer's parts stopped; it prints with the others.
    "stopped-partly": PARTLY_STOPPED,
    # Shown while the ipp backend connects, with every job.
    "connecting-to-device": PRINTER_STATE,
    "printer-ready-to-print": PRINTER_STATE,
    "power-up": PRINTER_STATE,
    "offline": UNREACHABLE, "timed-out": UNREACHABLE,
    # Relayed by the scheduler when its backend last found the device
    # offline; the printer's own answer, or a job waiting for it, settles it.
    "offline-report": LAST_OFFLINE,
    # CUPS's own. Its ipp backend follows a job at the next hop (a print
    # server, or the printer) and says where that job is.
    "cups-remote-pending": CUPS_INFORMATION,
    "cups-remote-processing": CUPS_INFORMATION,
    "cups-remote-completed": CUPS_INFORMATION,
    "cups-remote-canceled": CUPS_INFORMATION,  # someone cancelled it there; the next job prints
    "cups-remote-pending-held": CUPS_HELD,  # held there, e.g. for release at the device
    "cups-remote-stopped": CUPS_STOPPED,  # the print server's queue is stopped
    "cups-remote-aborted": CUPS_LAST_ABORTED,  # the server gave up on it: the next may fail too
    "cups-waiting-for-job-completed": CUPS_INFORMATION,
    "cups-ipp-conformance-failure-report": CUPS_INFORMATION,
    # The backend works around a printer that lacks an operation or attribute.
    "cups-ipp-missing-cancel-job": CUPS_INFORMATION,
    "cups-ipp-missing-get-job-attributes": CUPS_INFORMATION,
    "cups-ipp-missing-get-printer-attributes": CUPS_INFORMATION,
    "cups-ipp-missing-job-history": CUPS_INFORMATION,
    "cups-ipp-missing-job-id": CUPS_INFORMATION,
    "cups-ipp-missing-job-state": CUPS_INFORMATION,
    "cups-ipp-missing-operations-supported": CUPS_INFORMATION,
    "cups-ipp-missing-print-job": CUPS_INFORMATION,
    "cups-ipp-missing-printer-is-accepting-jobs": CUPS_INFORMATION,
    "cups-ipp-missing-printer-state-reasons": CUPS_INFORMATION,
    "cups-ipp-missing-send-document": CUPS_INFORMATION,
    "cups-ipp-missing-validate-job": CUPS_INFORMATION,
    # CUPS says "warning", but with a filter missing or refused no job can
    # be converted for the printer: every one fails.
    "cups-missing-filter-warning": CUPS_DRIVER,
    "cups-insecure-filter-warning": CUPS_DRIVER,
    "other": UNSPECIFIED, "unknown": UNSPECIFIED,
}

# Reasons that the scheduler sets about the queue itself, not relayed from
# the printer.
QUEUE_REASONS = frozenset(("paused", "moving-to-paused", "stopping", "hold-new-jobs",
                           "spool-area-full"))

# Clause 2's exception: no paper, or nothing to print with.
OUT_OF_PAPER = frozenset(("media-empty", "media-needed"))
_OUT_OF_SUPPLY = OUT_OF_PAPER | {"toner-empty", "marker-supply-empty", "marker-ink-empty",
                                 "marker-toner-missing", "marker-ink-missing"}

_FINISHERS = ("bander-", "binder-", "die-cutter-", "folder-", "imprinter-", "inserter-",
              "make-envelope-", "perforater-", "puncher-", "separation-cutter-",
              "sheet-rotator-", "slitter-", "stacker-", "stapler-", "stitcher-", "trimmer-",
              "wrapper-")

# Clause 5. A keyword is an event when it ends in one of these.
_EVENT_ENDINGS = ("-added", "-removed", "-deleted", "-closed", "-turned-on",
                  "configuration-change", "-change", "-increase", "-decrease", "-requested",
                  "-reset", "-warming-up", "-cooling-down", "-cooling", "-heating",
                  "-power-saver", "-adjusting-print-quality", "-drying",
                  "-complex-page-encountered", "-removal-of-binary-change-entry")

# Clause 7 is tried before 6 for these, which clause 6's "-recoverable-..."
# would otherwise take.
_UNRECOVERABLE = ("-unrecoverable-failure", "-unrecoverable-storage")

# Clause 6.
_ADVISORY_ENDINGS = ("-almost-empty", "-almost-full", "-near-limit", "-near-eol", "-low",
                     "-life-almost-over", "-life-warn", "-temperature-high",
                     "-temperature-low", "-recoverable-failure", "-recoverable-storage")

# Clause 7.
_FAULT_ENDINGS = ("-empty", "-full", "-missing", "-jam", "-open", "-opened", "-failure",
                  "-at-limit", "-at-eol", "-offline", "-exhausted", "-needed", "-life-over",
                  "-over-temp", "-over-temperature", "-under-temp", "-under-temperature",
                  "-turned-off", "-unavailable", "-request", "-selected")


def _suffixed(keyword: str, registered: bool) -> Optional[Clause]:
    if keyword.endswith("-report"):
        return SUFFIX_REPORT if registered else UNREGISTERED_REPORT
    if keyword.endswith("-warning"):
        return SUFFIX_WARNING if registered else UNREGISTERED_WARNING
    if keyword.endswith("-error"):
        return SUFFIX_ERROR if registered else UNREGISTERED
    return None


def _base(keyword: str) -> str:
    for suffix in ("-report", "-warning", "-error"):
        if keyword.endswith(suffix):
            return keyword[:-len(suffix)]
    return keyword


def _judge(keyword: str) -> Clause:
    named = _NAMED.get(keyword)
    if named is not None:
        return named
    base = _base(keyword)
    if base in _OUT_OF_SUPPLY:
        return OUT_OF_SUPPLY
    # The catalogue knows a keyword with or without its suffix; vendors add
    # suffixes to registered keywords ("media-low-report").
    registered = base in TITLES or keyword in TITLES
    if keyword.startswith("cups-") or not registered:
        suffixed = _suffixed(keyword, registered=False)
        return suffixed if suffixed is not None else UNREGISTERED
    suffixed = _suffixed(keyword, registered=True)
    if suffixed is not None:
        return suffixed
    lowered = keyword.lower()  # the catalogue has "subunit-timing-Failure"
    if lowered.startswith("fax-modem-"):
        return FAX
    if lowered.startswith(_FINISHERS):
        return FINISHER_EVENT if lowered.endswith(_EVENT_ENDINGS) else FINISHER_FAULT
    if lowered.endswith(_EVENT_ENDINGS):
        return EVENT
    if lowered.endswith(_UNRECOVERABLE):
        return FAULT
    if lowered.endswith(_ADVISORY_ENDINGS):
        return ADVISORY
    if lowered.endswith(_FAULT_ENDINGS):
        return FAULT
    return UNREGISTERED


_judged: Dict[str, Clause] = {}


def clause_of(keyword: str) -> Clause:
    """The clause of the rule that judges keyword."""
    clause = _judged.get(keyword)
    if clause is None:
        clause = _judge(keyword)
        if len(_judged) < 4096:  # keywords come from peers: keep the memo bounded
            _judged[keyword] = clause
    return clause


def classify_reason(keyword: str) -> Severity:
    """The severity of a printer-state-reasons keyword for printing now."""
    return clause_of(keyword).severity


def title(keyword: str, translated: bool = False) -> Optional[str]:
    """A registered keyword's title ("Media Empty"), with or without its
    suffix; None for others. translated: in the user's language (LC_ALL,
    LC_MESSAGES, LANG) where cups-common's catalogue has it, else English."""
    base = keyword if keyword in TITLES else _base(keyword)
    found = TITLES.get(base)
    if found is None or not translated:
        return found
    return _catalogue(_language()).get(base) or found


def _language() -> str:
    for name in ("LC_ALL", "LC_MESSAGES", "LANG"):
        value = os.environ.get(name)
        if value:
            return value.split(".", 1)[0].split("@", 1)[0]
    return "C"


_catalogues: Dict[str, Dict[str, str]] = {}
_ENTRY = re.compile(r'^msgid "printer-state-reasons\.([^"]+)"\nmsgstr "((?:[^"\\]|\\.)*)"',
                    re.MULTILINE)


def _catalogue(language: str) -> Dict[str, str]:
    """cups-common's titles in language (de_DE, then de), or none."""
    if language in _catalogues:
        return _catalogues[language]
    found: Dict[str, str] = {}
    if language not in ("C", "POSIX") and not language.startswith("en"):
        root = os.path.join(os.environ.get("CUPS_DATADIR") or "/usr/share/cups", "locale")
        for name in (language, language.split("_", 1)[0]):
            path = os.path.join(root, name, "cups_%s.po" % name)
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read(8 << 20)
            except (OSError, ValueError):
                continue
            found = {keyword: value.replace('\\"', '"') for keyword, value in _ENTRY.findall(text)
                     if value}
            break
    if len(_catalogues) < 16:
        _catalogues[language] = found
    return found


def split(keyword: str) -> Tuple[str, str]:
    """(the keyword without its severity suffix, the suffix or "")."""
    base = _base(keyword)
    return base, keyword[len(base):]
