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
    readiness: Readiness = check_readiness(setup)
    found["ready"] = str(readiness.ready)
    found.update((d.name, d.state) for d in readiness.destinations if d.default)
    found.update((p.kind, p.advice) for p in readiness.problems)
    return found
