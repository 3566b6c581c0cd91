"""The setup extension's three functions written plainly in Python.

The benchmark compares the extension against this module: in process, with
the same collaborators in its namespace, and as a first import, as
``vellomar/printing/cups/setup.py`` in a throwaway package tree.
"""

import platform
from os import environ, path

from .call import Timeouts, call

SUCCESS = (True, "")


def is_available():
    plat = platform.system()
    if plat != "Darwin" and plat != "Linux":
        return False, "Platform {} is not supported.".format(plat)
    commands = ["/usr/bin/lp", "/usr/bin/lpoptions", "/usr/bin/lpstat"]
    for command in commands:
        if not path.exists(command):
            return False, "Command {} not found.".format(command)
    return SUCCESS


def get_version_info():
    opts = ["version", "api-version", "build", "datadir", "serverbin", "serverroot"]
    cmd = ["cups-config"] + ["--" + o for o in opts]
    env = environ.copy()
    try:
        out, _err = call(cmd, env)
    except OSError as err:
        return False, "Unable to collect cups info: {}".format(err)
    return True, zip(opts, out.splitlines())


def setup(*args, **kwargs):
    env = environ.copy()
    env["SOFTWARE"] = ""
    env["LANG"] = "C"
    return {"env": env, "timeout": Timeouts(3, 10)}
