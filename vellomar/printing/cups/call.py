"""Runs CUPS command-line tools for the setup extension.

``call(cmd, env)`` runs a program without a shell and returns its standard
output and error output as ``(stdout, stderr)`` strings. Every failure that
means "the tool could not tell us" is an ``OSError``:

- a program that cannot be started raises the ``OSError`` of the attempt
  (``FileNotFoundError`` when it does not exist);
- a program that exits with a non-zero status, or is killed by a signal,
  raises ``CommandFailed`` (an ``OSError``) carrying the status and the error
  text, so that its error output is never mistaken for an answer;
- a program that writes more than ``max_output`` bytes (``MAX_OUTPUT``,
  16 MiB, by default) to either stream is killed together with everything
  it started, and ``OutputTooLarge`` (a ``CommandFailed``) is raised.

A program that runs longer than its time limit is killed together with
everything it started, and ``subprocess.TimeoutExpired`` is raised. That is
not an ``OSError``: a hung tool is a fault of the host to report, not a
missing feature to shrug off. A limit of ``inf`` means no limit.

The program and everything it starts also end when the caller's process
ends, however it ends: see docs/call.md for how.

``Timeouts`` names the two time limits that go with running CUPS tools.
"""

import functools
import math
import os
import selectors
import signal
import subprocess
import sys
import time
from typing import Any, List, Mapping, Optional, Sequence, Set, Tuple, Union

# What the runner accepts as a program and its arguments, as subprocess does.
Argument = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

__all__ = ["CommandFailed", "OutputTooLarge", "Timeouts", "call", "TIME_LIMIT", "MAX_OUTPUT"]

# Seconds a tool may run before call() gives up on it.
TIME_LIMIT = 10.0

# Bytes call() keeps of each of a tool's two output streams. The answers of
# the CUPS tools are far smaller (lpstat lists a queue in a few hundred
# bytes, so ten thousand queues are a few MiB); the bound is there for a
# tool gone wrong, and holds the memory of a call to a few times this.
MAX_OUTPUT = 16 * 1024 * 1024

# The longest single wait for output: a limit too far away for the clock
# (1e300 s) is waited for in such steps instead of overflowing.
_LONGEST_WAIT = 3600.0

# How much of the error output an OutputTooLarge keeps, for diagnosis.
_KEPT_STDERR = 65536

_STREAMS = {"stdout": "standard output", "stderr": "error output"}


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

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        return (type(self), (self.cmd, self.returncode, self.stderr))


class OutputTooLarge(CommandFailed):
    """A tool wrote more than the bound to one of its streams and was killed.

    ``stream`` is ``"stdout"`` or ``"stderr"``, ``limit`` the bound in bytes;
    ``returncode`` is the status the killed tool ended with and ``stderr``
    the start of its error output, for diagnosis.
    """

    stream: str
    limit: int

    def __init__(self, cmd: Sequence[Argument], stream: str, limit: int,
                 returncode: int, stderr: str) -> None:
        if stream not in _STREAMS:
            raise ValueError("stream must be 'stdout' or 'stderr', not %r" % (stream,))
        self.cmd = list(cmd)
        self.stream = stream
        self.limit = limit
        self.returncode = returncode
        self.stderr = stderr
        # Not CommandFailed's message: the error text may be the flood.
        OSError.__init__(self, "%s wrote more than %d bytes to its %s and was killed"
                         % (str(self.cmd[0]), limit, _STREAMS[stream]))

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        return (type(self), (self.cmd, self.stream, self.limit, self.returncode, self.stderr))


def _decode(data: bytes) -> str:
    # Tool output is text in the C locale; bytes that are not UTF-8 survive
    # as surrogates instead of failing the call or being lost.
    return data.decode("utf-8", "surrogateescape")


def _check_limit(name: str, value: object) -> float:
    """A time limit as a float; inf means none. Timeouts and call() share
    this, so a limit one takes the other can honour."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be a number of seconds, not %s" % (name, type(value).__name__))
    if not value > 0:  # also refuses NaN
        raise ValueError("%s must be a positive number of seconds (inf for none), not %r"
                         % (name, value))
    try:
        return float(value)
    except OverflowError:  # an int beyond any float is no limit either
        return math.inf


def _check_cmd(cmd: object) -> List[Argument]:
    # A string is a sequence too, and subprocess would run its first letter.
    if isinstance(cmd, (str, bytes, bytearray, memoryview)) or not isinstance(cmd, (list, tuple)):
        raise TypeError("cmd must be a list or tuple of arguments, program first "
                        "(e.g. ['lpstat', '-r']), not %s" % type(cmd).__name__)
    if not cmd:
        raise ValueError("cmd must name a program")
    for argument in cmd:
        if not isinstance(argument, (str, bytes, os.PathLike)):
            raise TypeError("each argument in cmd must be str, bytes or os.PathLike, not %s"
                            % type(argument).__name__)
    return list(cmd)


# The watchdog: a shell that reads the pipe whose write end only the caller
# holds. A line means the call ended cleanly and it exits; end of file
# without one means the caller is gone, however it went, and it kills its
# process group, which the tool joined. It runs first, as the group's
# leader, so the group exists before the tool does and lasts as long as the
# caller has not reaped the watchdog: its id cannot be reused meanwhile.
# The group shares the caller's terminal from the background, where a tool
# that reads it or sets its modes (a password prompt) would be stopped until
# its time limit; the stop signal reaches the whole group, and the watchdog
# kills it instead. It says when it is ready, so that no tool runs before.
_WATCHDOG = ["/bin/sh", "-c", "trap 'kill -s KILL 0' TTIN TTOU; echo; "
             "read line || kill -s KILL 0"]

# Write ends of the watchdogs' pipes of calls in progress: a child forked
# without exec (multiprocessing's fork) must not keep a caller's tools alive.
_watch_ends: Set[int] = set()


def _close_watch_ends() -> None:
    for fd in list(_watch_ends):
        try:
            os.close(fd)
        except OSError:
            pass
    _watch_ends.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_close_watch_ends)


def _start(args: Sequence[Argument], env: Optional[Mapping[str, str]], stdin: int,
           stdout: int, stderr: int, pgid: int) -> "subprocess.Popen[bytes]":
    """Starts args in process group pgid (0: a group of its own)."""
    if sys.version_info >= (3, 11):
        return subprocess.Popen(args, env=env, stdin=stdin, stdout=stdout, stderr=stderr,
                                process_group=pgid)
    # Before 3.11 only preexec_fn can; a C function rather than a lambda,
    # so that no Python code runs in the child between fork and exec.
    return subprocess.Popen(args, env=env, stdin=stdin, stdout=stdout, stderr=stderr,
                            preexec_fn=functools.partial(os.setpgid, 0, pgid))


def call(cmd: Sequence[Argument], env: Optional[Mapping[str, str]],
         timeout: Optional[float] = None, *, max_output: Optional[int] = None
         ) -> Tuple[str, str]:
    """Run ``cmd`` (a list or tuple: program, then arguments) with environment
    ``env`` (None: this process's).

    Returns ``(stdout, stderr)`` as str. ``timeout`` (seconds, ``inf`` for no
    limit) defaults to TIME_LIMIT, ``max_output`` (bytes per stream) to
    MAX_OUTPUT.
    """
    args = _check_cmd(cmd)
    limit = _check_limit("timeout", TIME_LIMIT if timeout is None else timeout)
    bound = MAX_OUTPUT if max_output is None else max_output
    if isinstance(bound, bool) or not isinstance(bound, int):
        raise TypeError("max_output must be an int, not %s" % type(bound).__name__)
    if bound < 0:
        raise ValueError("max_output must not be negative, not %d" % bound)
    deadline = time.monotonic() + limit

    watch_read, watch_write = os.pipe()
    _watch_ends.add(watch_write)
    watchdog: "Optional[subprocess.Popen[bytes]]" = None
    # Closing the write end without the line, on any way out of here, is
    # what kills the tool if nothing else did.
    try:
        watchdog = _start(_WATCHDOG, {}, watch_read, subprocess.PIPE, subprocess.DEVNULL, 0)
        group = watchdog.pid
        assert watchdog.stdout is not None
        with watchdog.stdout as ready:
            ready.read(1)
        # The tool itself is started as subprocess starts it: its exact
        # environment, subprocess's search of PATH, subprocess's errors.
        # A group of its own (the watchdog's) lets a time-out kill the
        # whole tree: a shell script's children would otherwise keep
        # running and hold our pipes.
        process = _start(args, env, subprocess.DEVNULL, subprocess.PIPE, subprocess.PIPE,
                         group)
        with process:
            try:
                out, err, too_large = _collect(process, args, timeout, deadline, bound)
            except BaseException:
                _kill_tree(process, group)
                raise
            if too_large:
                _kill_tree(process, group)
                assert process.stderr is not None
                if too_large == "stdout":
                    # What the tool wrote before its death is still there to read.
                    _drain(process.stderr.fileno(), err, _KEPT_STDERR)
                raise OutputTooLarge(args, too_large, bound, process.returncode,
                                     _decode(bytes(err[:_KEPT_STDERR])))
        # A clean end: what the tool left behind is left alone. The read
        # end still open here means a gone watchdog cannot make this a
        # SIGPIPE, which an embedding application may not ignore.
        os.write(watch_write, b"\n")
    finally:
        # Out of the set before closing: a fork in between must not close
        # a number another thread has opened anew.
        _watch_ends.discard(watch_write)
        os.close(watch_write)
        os.close(watch_read)
        if watchdog is not None:
            # It exits on the line or, on any other way out, kills what is
            # left of the group and itself; reaped here, so that no caller
            # (pid 1, a subreaper) collects a zombie per call.
            watchdog.wait()
    if process.returncode != 0:
        raise CommandFailed(args, process.returncode, _decode(err))
    return _decode(out), _decode(err)


def _collect(process: "subprocess.Popen[bytes]", cmd: List[Argument], timeout: Optional[float],
             deadline: float, bound: int) -> Tuple[bytearray, bytearray, str]:
    """Reads both streams to their end and waits for the tool, by the
    deadline; returns the outputs and the name of a stream that went past
    the bound ("" if none), at which point it stops reading."""
    assert process.stdout is not None and process.stderr is not None
    buffers = {process.stdout.fileno(): bytearray(), process.stderr.fileno(): bytearray()}
    names = {process.stdout.fileno(): "stdout", process.stderr.fileno(): "stderr"}
    with selectors.DefaultSelector() as selector:
        for fd in buffers:
            selector.register(fd, selectors.EVENT_READ)
        while selector.get_map():
            left = deadline - time.monotonic()
            if left <= 0:
                raise subprocess.TimeoutExpired(cmd, _shown(timeout))
            for key, _events in selector.select(min(left, _LONGEST_WAIT)):
                buffer = buffers[key.fd]
                # One byte past the bound tells "too much" from "just fits".
                chunk = os.read(key.fd, min(65536, bound + 1 - len(buffer)))
                if not chunk:
                    selector.unregister(key.fd)
                    continue
                buffer += chunk
                if len(buffer) > bound:
                    return (buffers[process.stdout.fileno()],
                            buffers[process.stderr.fileno()], names[key.fd])
    # Both streams closed; the tool itself may still run.
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise subprocess.TimeoutExpired(cmd, _shown(timeout))
        try:
            process.wait(min(left, _LONGEST_WAIT))
        except subprocess.TimeoutExpired:
            continue
        return buffers[process.stdout.fileno()], buffers[process.stderr.fileno()], ""


def _drain(fd: int, buffer: bytearray, limit: int) -> None:
    # Non-blocking: a child that left the tool's group may hold the pipe.
    os.set_blocking(fd, False)
    try:
        while len(buffer) < limit:
            chunk = os.read(fd, limit - len(buffer))
            if not chunk:
                return
            buffer += chunk
    except BlockingIOError:
        pass


def _shown(timeout: Optional[float]) -> float:
    return TIME_LIMIT if timeout is None else timeout


def _kill_tree(process: "subprocess.Popen[bytes]", pgid: int) -> None:
    # The group's id is the watchdog's pid, which the caller has not reaped
    # yet: it cannot have been taken by another process.
    try:
        os.killpg(pgid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    process.wait()


class Timeouts:
    """Time limits, in seconds, for running CUPS tools.

    ``query`` bounds a quick question to the CUPS server (lpstat, lpoptions);
    ``job`` bounds handing a job to it (lp), which may have to send the whole
    document. ``inf`` means no limit, as it does to call().
    """

    __slots__ = ("_query", "_job")
    _query: float
    _job: float

    def __init__(self, query: float, job: float) -> None:
        for name, value in (("query", query), ("job", job)):
            _check_limit(name, value)
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
