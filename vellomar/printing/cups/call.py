"""Runs CUPS command-line tools for the setup extension.

``call(cmd, env)`` runs a program without a shell and returns its standard
output and error output as ``(stdout, stderr)`` strings. Every failure that
means "the tool could not tell us" is an ``OSError``:

- a program that cannot be started raises the ``OSError`` of the attempt
  (``FileNotFoundError`` when it does not exist);
- a program that exits with a non-zero status, or is killed by a signal,
  raises ``CommandFailed`` (an ``OSError``) carrying the status and the error
  text, so that its error output is never mistaken for an answer.

A program that runs longer than its time limit is killed together with
everything it started, and ``subprocess.TimeoutExpired`` is raised. That is
not an ``OSError``: a hung tool is a fault of the host to report, not a
missing feature to shrug off.

``Timeouts`` names the two time limits that go with running CUPS tools.
"""

import os
import signal
import subprocess
from typing import Any, List, Mapping, Optional, Sequence, Tuple, Union

# What the runner accepts as a program and its arguments, as subprocess does.
Argument = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

__all__ = ["CommandFailed", "Timeouts", "call", "TIME_LIMIT"]

# Seconds a tool may run before call() gives up on it.
TIME_LIMIT = 10.0


class CommandFailed(OSError):
    """A tool ran but reported failure through its exit status."""

    cmd: List[Argument]
    returncode: int
    stderr: str

    def __init__(self, cmd: Sequence[Argument], returncode: int, stderr: str) -> None:
        self.cmd = list(cmd)
        self.returncode = returncode
        self.stderr = stderr
        if returncode < 0:
            what = "was killed by signal %d" % -returncode
        else:
            what = "exited with status %d" % returncode
        detail = stderr.strip()
        message = "%s %s" % (str(self.cmd[0]), what)
        if detail:
            message = "%s: %s" % (message, detail)
        super().__init__(message)

    def __reduce__(self) -> Tuple[Any, Tuple[List[Argument], int, str]]:
        return (type(self), (self.cmd, self.returncode, self.stderr))


def _decode(data: bytes) -> str:
    # Tool output is text in the C locale; bytes that are not UTF-8 survive
    # as surrogates instead of failing the call or being lost.
    return data.decode("utf-8", "surrogateescape")


def call(cmd: Sequence[Argument], env: Optional[Mapping[str, str]],
         timeout: Optional[float] = None) -> Tuple[str, str]:
    """Run ``cmd`` (a list: program, then arguments) with environment ``env``.

    Returns ``(stdout, stderr)`` as str. ``timeout`` defaults to TIME_LIMIT.
    """
    if timeout is None:
        timeout = TIME_LIMIT
    # A session of its own lets a time-out kill the whole tree: a shell
    # script's children would otherwise keep running and hold our pipes.
    process = subprocess.Popen(
        cmd,
        env=env,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    with process:
        try:
            raw_out, raw_err = process.communicate(timeout=timeout)
        except BaseException:
            _kill_tree(process)
            raise
    out, err = _decode(raw_out), _decode(raw_err)
    if process.returncode != 0:
        raise CommandFailed(cmd, process.returncode, err)
    return out, err


def _kill_tree(process: "subprocess.Popen[bytes]") -> None:
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    process.wait()


class Timeouts:
    """Time limits, in seconds, for running CUPS tools.

    ``query`` bounds a quick question to the CUPS server (lpstat, lpoptions);
    ``job`` bounds handing a job to it (lp), which may have to send the whole
    document.
    """

    __slots__ = ("_query", "_job")
    _query: float
    _job: float

    def __init__(self, query: float, job: float) -> None:
        for name, value in (("query", query), ("job", job)):
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError("%s must be a number of seconds, not %s"
                                % (name, type(value).__name__))
            if not value > 0:
                raise ValueError("%s must be positive, not %r" % (name, value))
        object.__setattr__(self, "_query", query)
        object.__setattr__(self, "_job", job)

    @property
    def query(self) -> float:
        return self._query

    @property
    def job(self) -> float:
        return self._job

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Timeouts is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Timeouts is immutable")

    def __repr__(self) -> str:
        return "Timeouts(query=%r, job=%r)" % (self._query, self._job)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Timeouts):
            return NotImplemented
        return (self._query, self._job) == (other._query, other._job)

    def __hash__(self) -> int:
        return hash((Timeouts, self._query, self._job))

    def __reduce__(self) -> Tuple[Any, Tuple[float, float]]:
        return (Timeouts, (self._query, self._job))
