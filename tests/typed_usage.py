"""A caller of the package as a user writes one: `mypy --strict` must accept
it against the installed types (scripts/check-typing.sh). Not a test."""

from typing import Dict

from vellomar.printing.cups import __version__, setup
from vellomar.printing.cups.call import CommandFailed, Timeouts, call
from vellomar.printing.cups.readiness import Readiness, check_readiness


def report() -> Dict[str, str]:
    usable, reason = setup.is_available()
    found: Dict[str, str] = {"version": __version__, "usable": str(usable), "reason": reason}
    ok, info = setup.get_version_info()
    if ok is True and not isinstance(info, str):
        found.update(info)
    settings = setup.setup()
    limits: Timeouts = settings["timeout"]
    try:
        out, _err = call(["lpstat", "-r"], settings["env"], timeout=limits.query)
        found["scheduler"] = out.strip()
    except CommandFailed as error:
        found["scheduler"] = "%s (%d)" % (error.stderr, error.returncode)
    readiness: Readiness = check_readiness(setup_module=setup, check_printers=False)
    found["ready"] = str(readiness.ready)
    found.update((d.name, d.state) for d in readiness.destinations if d.default)
    found.update((p.kind, p.advice) for p in readiness.problems + readiness.warnings)
    found.update((r.keyword, r.severity) for d in readiness.destinations for r in d.blocking)
    found.update((d.name, str(d.printer.reachable)) for d in readiness.destinations
                 if d.printer.checked and d.queued_jobs >= 0)
    return found
