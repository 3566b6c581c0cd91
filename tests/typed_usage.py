"""A caller of the package as a user writes one: `mypy --strict` must accept
it against the installed types (scripts/check-typing.sh). Not a test."""

from typing import Dict

from vellomar.printing.cups import __version__, setup
from vellomar.printing.cups.call import CommandFailed, Timeouts, call


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
    return found
