"""Reports what the printing client finds of CUPS on this host.

    python -m vellomar.printing.cups [--json]

Exit status: 0 when CUPS printing is usable here, 1 when it is not, 2 for a
usage error. A probe that fails is reported as a message; the others still
run.
"""

import argparse
import json
import sys

USABLE, NOT_USABLE = 0, 1


def _describe_error(error):
    text = str(error)
    return "%s: %s" % (type(error).__name__, text) if text else type(error).__name__


def _text(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "backslashreplace")
    return str(value)


def _timeout_fields(timeout):
    fields = {}
    for name in ("query", "job"):
        value = getattr(timeout, name, None)
        if isinstance(value, (int, float)):
            fields[name] = value
    return fields


def probe(setup):
    """Runs the three probes of the setup module; never raises for a probe's
    failure. Returns a JSON-ready dict."""
    report = {}
    try:
        usable, reason = setup.is_available()
        report["available"] = {"usable": bool(usable), "reason": _text(reason)}
    except Exception as error:
        report["available"] = {"usable": False, "reason": _describe_error(error)}

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


def _table(rows, indent="  "):
    width = max((len(name) for name, _ in rows), default=0)
    return ["%s%-*s  %s" % (indent, width, name, value) for name, value in rows]


def format_text(report):
    lines = []
    available = report["available"]
    if available["usable"]:
        lines.append("CUPS printing: usable")
    else:
        lines.append("CUPS printing: not usable: %s" % available["reason"])

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
    return "\n".join(lines) + "\n"


def main(argv=None, out=None):
    out = out or sys.stdout
    parser = argparse.ArgumentParser(
        prog="python -m vellomar.printing.cups",
        description="Report whether CUPS printing is usable on this host, what cups-config "
                    "says about the CUPS installation, and the settings for running CUPS "
                    "tools as child processes.")
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    args = parser.parse_args(argv)

    try:
        from vellomar.printing.cups import setup
    except Exception as error:
        message = "cannot load the setup module: %s" % _describe_error(error)
        if args.json:
            out.write(json.dumps({"error": message}) + "\n")
        else:
            out.write(message + "\n")
        return NOT_USABLE

    report = probe(setup)
    if args.json:
        out.write(json.dumps(report, indent=2) + "\n")
    else:
        out.write(format_text(report))
    return USABLE if report["available"]["usable"] else NOT_USABLE


if __name__ == "__main__":
    sys.exit(main())
