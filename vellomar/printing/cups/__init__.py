"""CUPS support of the printing client: whether printing can start now
(``check_readiness``), printing through IPP (``print_file``), and the runner
for CUPS tools (the ``call`` module: ``from vellomar.printing.cups.call
import call``; the package's name ``call`` is that module, which the
``setup`` module binds its runner from).

The names below are loaded when first used, so that importing the package
loads neither the compiled ``setup`` module nor libcups.
"""

from typing import TYPE_CHECKING, Any, Dict, List

__version__ = "0.4.0"

# name -> the submodule that defines it
_LAZY: Dict[str, str] = {}
for _module, _names in (
        ("readiness", ("check_readiness", "sanitize", "Readiness", "Destination", "Problem",
                       "ProblemKind", "PrinterCheck", "Reason", "Scheduler",
                       "TOOLS_MISSING", "NO_SETTINGS", "NO_IPP_CLIENT", "QUERY_FAILED",
                       "SCHEDULER_NOT_RUNNING", "SCHEDULER_NO_ANSWER", "NO_DESTINATION",
                       "NONE_ACCEPTING", "NONE_ENABLED", "BAD_DEFAULT", "UNDETERMINED",
                       "PRINTER_CONDITION", "PRINTER_UNREACHABLE", "PRINTER_REFUSED",
                       "PRINTER_NOT_ASKED", "ANSWER_UNREADABLE", "PRINTER_WARNING", "NO_DEFAULT",
                       "HELD_FOR_RELEASE", "UNKNOWN_DESTINATION", "NOT_TAKING_JOBS",
                       "JOBS_QUEUED")),
        ("reasons", ("Severity", "BLOCKING", "WARNING", "INFORMATION", "classify_reason")),
        ("jobs", ("print_file", "Job", "JobStatus", "JobState", "Hop", "ErrorKind", "PrintError",
                  "NoSuchDestination", "NotAcceptingJobs", "UnsupportedFormat",
                  "UnsupportedOption", "AuthenticationRequired", "SchedulerNotRunning",
                  "SchedulerNoAnswer", "DocumentUnreadable", "JobRefused")),
        ("watch", ("watch_readiness", "watch_readiness_async", "check_readiness_async",
                   "Change", "changes")),
        ("call", ("CommandFailed", "OutputTooLarge", "Timeouts"))):
    for _name in _names:
        _LAZY[_name] = _module
del _module, _names, _name

# Written out, for type checkers: the same names as _LAZY's.
__all__ = [
    "ANSWER_UNREADABLE", "AuthenticationRequired", "BAD_DEFAULT", "BLOCKING", "Change",
    "CommandFailed", "Destination", "DocumentUnreadable", "ErrorKind", "HELD_FOR_RELEASE",
    "Hop", "INFORMATION", "JOBS_QUEUED", "Job", "JobRefused", "JobState", "JobStatus",
    "NONE_ACCEPTING", "NONE_ENABLED", "NOT_TAKING_JOBS", "NO_DEFAULT", "NO_DESTINATION",
    "NO_IPP_CLIENT", "NO_SETTINGS", "NoSuchDestination", "NotAcceptingJobs",
    "OutputTooLarge", "PRINTER_CONDITION", "PRINTER_NOT_ASKED", "PRINTER_REFUSED",
    "PRINTER_UNREACHABLE", "PRINTER_WARNING", "PrintError", "PrinterCheck", "Problem",
    "ProblemKind", "QUERY_FAILED", "Readiness", "Reason", "SCHEDULER_NOT_RUNNING",
    "SCHEDULER_NO_ANSWER", "Scheduler", "SchedulerNoAnswer", "SchedulerNotRunning",
    "Severity", "TOOLS_MISSING", "Timeouts", "UNDETERMINED", "UNKNOWN_DESTINATION",
    "UnsupportedFormat", "UnsupportedOption", "WARNING", "changes", "check_readiness",
    "check_readiness_async", "classify_reason", "print_file", "sanitize", "watch_readiness",
    "watch_readiness_async",
]

if TYPE_CHECKING:
    from .call import CommandFailed, OutputTooLarge, Timeouts
    from .jobs import (AuthenticationRequired, DocumentUnreadable, ErrorKind, Hop, Job,
                       JobRefused, JobState, JobStatus, NoSuchDestination, NotAcceptingJobs,
                       PrintError, SchedulerNoAnswer, SchedulerNotRunning, UnsupportedFormat,
                       UnsupportedOption, print_file)
    from .readiness import (ANSWER_UNREADABLE, BAD_DEFAULT, HELD_FOR_RELEASE, JOBS_QUEUED,
                            NO_DEFAULT, NO_DESTINATION, NO_IPP_CLIENT, NO_SETTINGS,
                            NONE_ACCEPTING, NONE_ENABLED, NOT_TAKING_JOBS, PRINTER_CONDITION,
                            PRINTER_NOT_ASKED, PRINTER_REFUSED, PRINTER_UNREACHABLE,
                            PRINTER_WARNING, QUERY_FAILED, SCHEDULER_NO_ANSWER,
                            SCHEDULER_NOT_RUNNING, TOOLS_MISSING, UNDETERMINED,
                            UNKNOWN_DESTINATION, Destination, PrinterCheck, Problem,
                            ProblemKind, Readiness, Reason, Scheduler, check_readiness,
                            sanitize)
    from .reasons import BLOCKING, INFORMATION, WARNING, Severity, classify_reason
    from .watch import (Change, changes, check_readiness_async, watch_readiness,
                        watch_readiness_async)


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    import importlib
    value = getattr(importlib.import_module("." + module, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(_LAZY))
