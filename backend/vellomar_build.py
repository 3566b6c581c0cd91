"""PEP 517 build backend of the project: the CMake build makes the extension
for the interpreter that runs this backend, and the wheel packs it with the
package's Python files as CMake stages them.

It uses the standard library only: where this project is built, no package
index is reachable and the interpreters carry no wheel-building packages, so
a build may require nothing. The hooks run with the source tree as the
working directory; nothing is written there but Python's bytecode cache of
this module (CMake builds in a temporary directory, or in the one named by
the config setting `build-dir`).

Config settings of build_wheel: `build-dir` (an absolute path, kept and
reused), `with-ipp` (on or off; off builds without the IPP client, as the
environment's SETUP_WITH_IPP=OFF does). A build that fails for a reason the
user can fix ends with the tail of CMake's output and a line naming what to
install, not with a traceback of this backend. With SOURCE_DATE_EPOCH set,
wheels and sdists of one tree are byte for byte the same whenever and
wherever they are built.
"""

from __future__ import annotations

import ast
import base64
import csv
import datetime
import gzip
import hashlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile
from typing import IO, Any, Dict, Iterator, List, Optional, Sequence, Set, Tuple, cast

Table = Dict[str, Any]

# Fields of [project] that this backend turns into core metadata; any other
# field stops the build rather than vanish from the metadata.
_PROJECT_FIELDS = {"name", "version", "dynamic", "description", "readme", "requires-python",
                   "license", "classifiers", "dependencies", "urls"}
_ZIP_EPOCH = 315532800  # 1980-01-01 UTC: the earliest a zip can hold
_ZIP_END = 4354819198  # 2107-12-31 23:59:58 UTC: the latest
_TYPED = (".py", ".pyi", "py.typed")


# ---- pyproject.toml ---------------------------------------------------------

# TOML forbids control characters other than tab in comments and strings;
# basic strings take only TOML 1.0's escapes (JSON's "\/" is none of them).
_ESCAPES = r'\\(?:[btnfr"\\]|u[0-9A-Fa-f]{4}|U[0-9A-Fa-f]{8})'
_COMMENT = r"\#[^\x00-\x08\x0a-\x1f\x7f]*"
_LINE_END = re.compile(r"[ \t]*(?:%s)?(?:\n|\Z)" % _COMMENT)
_ARRAY_SPACE = re.compile(r"(?:[ \t\n]|%s)*" % _COMMENT)  # arrays may span lines
_SPACE = re.compile(r"[ \t]*")
_KEY = re.compile(r"""[ \t]*(?:(?P<bare>[A-Za-z0-9_-]+)
                      |(?P<quoted>"(?:[^"\\\x00-\x08\x0a-\x1f\x7f]|%s)*"
                                 |'[^'\x00-\x08\x0a-\x1f\x7f]*'))[ \t]*""" % _ESCAPES, re.VERBOSE)
_TIME = r"""(?P<%shour>[01][0-9]|2[0-3]):(?P<%sminute>[0-5][0-9]):(?P<%ssecond>[0-5][0-9])
            (?:\.(?P<%sfraction>[0-9]+))?"""
# Multi-line strings may hold lines that look like headers or keys, and end
# with up to two quotes of their own before the closing three.
_VALUE = re.compile(r"""(?P<mbasic>\"\"\"\n?(?P<mbody>(?:[^"\\\x00-\x08\x0b-\x1f\x7f]|"{1,2}(?!")
                                       |%s|\\[ \t]*\n[ \t\n]*)*)(?P<mend>"{3,5}))
    |(?P<mliteral>'''\n?(?P<lbody>(?:[^'\x00-\x08\x0b-\x1f\x7f]|'{1,2}(?!'))*)(?P<lend>'{3,5}))
    |(?P<string>"(?:[^"\\\x00-\x08\x0a-\x1f\x7f]|%s)*"|'[^'\x00-\x08\x0a-\x1f\x7f]*')
    |(?P<bool>true|false)
    |(?P<date>(?P<year>[0-9]{4})-(?P<month>0[1-9]|1[0-2])-(?P<day>0[1-9]|[12][0-9]|3[01])
        (?:[Tt\ ]%s(?:(?P<utc>[Zz])
                  |(?P<sign>[+-])(?P<hours>[01][0-9]|2[0-3]):(?P<minutes>[0-5][0-9]))?)?)
    |(?P<time>%s)
    |(?P<radix>0(?:x[0-9A-Fa-f](?:_?[0-9A-Fa-f])*|o[0-7](?:_?[0-7])*|b[01](?:_?[01])*))
    |(?P<float>[+-]?(?:(?:0|[1-9](?:_?[0-9])*)
                       (?:\.[0-9](?:_?[0-9])*(?:[eE][+-]?[0-9](?:_?[0-9])*)?
                         |[eE][+-]?[0-9](?:_?[0-9])*)
                     |inf|nan))
    |(?P<integer>[+-]?(?:0|[1-9](?:_?[0-9])*))"""
                    % (_ESCAPES, _ESCAPES, _TIME % (("d",) * 4), _TIME % (("t",) * 4)), re.VERBOSE)
_ESCAPE = re.compile(r'\\(?:([btnfr"\\])|u([0-9A-Fa-f]{4})|U([0-9A-Fa-f]{8})|[ \t]*\n[ \t\n]*)')


def _unescape(match: "re.Match[str]") -> str:
    if match.group(1):
        return {"b": "\b", "t": "\t", "n": "\n", "f": "\f", "r": "\r"}.get(match.group(1),
                                                                          match.group(1))
    if not (match.group(2) or match.group(3)):
        return ""  # a backslash ending a line of a multi-line string joins the lines
    code = int(match.group(2) or match.group(3), 16)
    if 0xD800 <= code <= 0xDFFF or code > 0x10FFFF:
        raise ValueError("pyproject.toml: \\u%X is no Unicode scalar value" % code)
    return chr(code)


def _time(parts: Dict[str, Optional[str]], prefix: str) -> datetime.time:
    # As tomllib: microseconds, further digits dropped.
    return datetime.time(int(parts[prefix + "hour"] or 0), int(parts[prefix + "minute"] or 0),
                         int(parts[prefix + "second"] or 0),
                         int((parts[prefix + "fraction"] or "0")[:6].ljust(6, "0")))


class _TomlSubset:
    """TOML 1.0 for interpreters without tomllib, read as tomllib reads it:
    a table that pyproject.toml holds for another tool must neither stop the
    build nor be misread, or whether it builds would depend on the
    interpreter. What is not valid TOML is refused."""

    def __init__(self, text: str) -> None:
        self.text = text.replace("\r\n", "\n")  # as tomllib does, in strings too
        self.position = 0
        # TOML defines each table once: by its [header], or by the dotted
        # keys of one section (which later sections may not extend), or as an
        # inline table or array, which nothing extends. Paths leave out the
        # index in an array of tables: each [[header]] starts afresh below it.
        self.defined: Set[Tuple[str, ...]] = set()
        self.section_dotted: Set[Tuple[str, ...]] = set()
        self.frozen: Set[int] = set()  # ids of inline tables and arrays written as values

    def fail(self, what: str) -> ValueError:
        return ValueError("pyproject.toml: %s at line %d"
                          % (what, self.text.count("\n", 0, self.position) + 1))

    def match(self, pattern: "re.Pattern[str]") -> "Optional[re.Match[str]]":
        found = pattern.match(self.text, self.position)
        if found:
            self.position = found.end()
        return found

    def take(self, literal: str) -> bool:
        if self.text.startswith(literal, self.position):
            self.position += len(literal)
            return True
        return False

    def expect(self, literal: str) -> None:
        if not self.take(literal):
            raise self.fail("expected %r" % literal)

    @staticmethod
    def string(text: str) -> str:
        return text[1:-1] if text[0] == "'" else _ESCAPE.sub(_unescape, text[1:-1])

    def key(self) -> List[str]:
        parts = []
        while True:
            found = self.match(_KEY)
            if not found:
                raise self.fail("expected a key")
            # `true`, `1` or `inf` too is a name here.
            parts.append(found.group("bare") or self.string(found.group("quoted")))
            if not self.take("."):
                return parts

    def value(self) -> Any:
        if self.take("["):
            items: List[Any] = []
            while True:
                self.match(_ARRAY_SPACE)
                if self.take("]"):
                    break
                items.append(self.value())
                self.match(_ARRAY_SPACE)
                if not self.take(","):
                    self.expect("]")
                    break
            self.frozen.add(id(items))
            return items
        if self.take("{"):
            table: Table = {}
            self.match(_SPACE)
            if not self.take("}"):
                while True:
                    path = self.key()
                    self.expect("=")
                    self.match(_SPACE)
                    self.assign(table, path, self.value())
                    self.match(_SPACE)
                    if self.take("}"):
                        break
                    self.expect(",")  # and a key follows: TOML 1.0 has no trailing comma here
            self.frozen.add(id(table))
            return table
        found = self.match(_VALUE)
        if not found:
            raise self.fail("expected a value")
        kind, text, parts = found.lastgroup, found.group(), found.groupdict()
        if kind == "mbasic":
            return _ESCAPE.sub(_unescape, parts["mbody"] + parts["mend"][3:])
        if kind == "mliteral":
            return parts["lbody"] + parts["lend"][3:]
        if kind == "string":
            return self.string(text)
        if kind == "bool":
            return text == "true"
        if kind == "radix":
            return int(text[2:].replace("_", ""), {"x": 16, "o": 8, "b": 2}[text[1]])
        if kind == "integer":
            return int(text.replace("_", ""))
        if kind == "float":
            return float(text.replace("_", ""))
        if kind == "time":
            return _time(parts, "t")
        try:
            date = datetime.date(int(text[:4]), int(text[5:7]), int(text[8:10]))
        except ValueError:  # such as 30 February
            raise self.fail("no such date %r" % text) from None
        if parts["dhour"] is None:
            return date
        zone: Optional[datetime.tzinfo] = None
        if parts["utc"]:
            zone = datetime.timezone.utc
        elif parts["sign"]:
            offset = datetime.timedelta(hours=int(parts["hours"] or 0),
                                        minutes=int(parts["minutes"] or 0))
            zone = datetime.timezone(-offset if parts["sign"] == "-" else offset)
        return datetime.datetime.combine(date, _time(parts, "d")).replace(tzinfo=zone)

    def open(self, table: Table, part: str, where: Sequence[str]) -> Table:
        """The subtable `part` of `table`, made if missing, or the last table
        of an array of tables there; refuses a value, an inline table or an
        array written as a value."""
        inner = table.setdefault(part, {})
        if isinstance(inner, list) and id(inner) not in self.frozen:
            inner = inner[-1]
        if not isinstance(inner, dict) or id(inner) in self.frozen:
            raise self.fail("%s is defined already" % ".".join(where))
        return inner

    def assign(self, table: Table, path: Sequence[str], value: Any,
               header: Tuple[str, ...] = ()) -> None:
        for depth in range(1, len(path)):
            table = self.open(table, path[depth - 1], header + tuple(path[:depth]))
        if path[-1] in table:
            raise self.fail("%s given twice" % ".".join(header + tuple(path)))
        table[path[-1]] = value

    def document(self) -> Table:
        document: Table = {}
        table = document
        header: Tuple[str, ...] = ()
        while self.position < len(self.text):
            self.match(_SPACE)
            if self.match(_LINE_END):
                continue
            if self.take("["):
                array = self.take("[")
                header = tuple(self.key())
                self.expect("]]" if array else "]")
                self.defined |= self.section_dotted
                self.section_dotted = set()
                if array:
                    # A new table of the array: what the previous one defined
                    # below it may be defined again in this one.
                    self.defined = {path for path in self.defined
                                    if path[:len(header)] != header}
                elif header in self.defined:
                    raise self.fail("[%s] is defined already" % ".".join(header))
                self.defined.add(header)
                table = document
                for depth in range(1, len(header)):
                    table = self.open(table, header[depth - 1], header[:depth])
                if array:
                    tables = table.setdefault(header[-1], [])
                    if not isinstance(tables, list) or id(tables) in self.frozen:
                        raise self.fail("%s is defined already" % ".".join(header))
                    tables.append({})
                    table = tables[-1]
                else:
                    table = self.open(table, header[-1], header)
            else:
                path = self.key()
                self.expect("=")
                self.match(_SPACE)
                for depth in range(1, len(path)):
                    where = header + tuple(path[:depth])
                    if where in self.defined:
                        raise self.fail("%s is defined already" % ".".join(where))
                    self.section_dotted.add(where)
                self.assign(table, path, self.value(), header)
            if not self.match(_LINE_END):
                raise self.fail("expected the end of the line")
        return document


def read_toml(text: str) -> Table:
    if sys.version_info >= (3, 11):
        import tomllib
        return dict(tomllib.loads(text))
    return _TomlSubset(text).document()


# ---- metadata ---------------------------------------------------------------

def _pyproject(root: str) -> Table:
    with open(os.path.join(root, "pyproject.toml"), encoding="utf-8") as f:
        return read_toml(f.read())


def project(root: str = ".") -> Table:
    """The [project] table with its version filled in from the version file."""
    pyproject = _pyproject(root)
    table = dict(pyproject["project"])
    unknown = set(table) - _PROJECT_FIELDS
    if unknown:
        raise ValueError("pyproject.toml: [project] fields this backend does not handle: %s"
                         % ", ".join(sorted(unknown)))
    if "version" in table.get("dynamic", []):
        with open(os.path.join(root, pyproject["tool"]["vellomar-build"]["version-file"]),
                  encoding="utf-8") as f:
            module = ast.parse(f.read())
        table["version"] = next(ast.literal_eval(node.value) for node in module.body
                                if isinstance(node, ast.Assign)
                                and [getattr(t, "id", None) for t in node.targets] == ["__version__"])
    # File names carry the version as written: only PEP 440's normal form
    # names the same release everywhere (1.0rc1, never 1.0-rc1 or 1.0.RC1).
    if not re.fullmatch(r"([1-9][0-9]*!)?(0|[1-9][0-9]*)(\.(0|[1-9][0-9]*))*((a|b|rc)(0|[1-9][0-9]*))?"
                        r"(\.post(0|[1-9][0-9]*))?(\.dev(0|[1-9][0-9]*))?(\+[a-z0-9]+(\.[a-z0-9]+)*)?",
                        table["version"]):
        raise ValueError("version %r is not in PEP 440's normal form (such as 1.0rc1)"
                         % table["version"])
    return table


def distribution_name(table: Table) -> str:
    """The name as wheel and sdist file names spell it."""
    return "%s-%s" % (re.sub(r"[-_.]+", "_", table["name"]).lower(), table["version"])


def core_metadata(table: Table, root: str = ".") -> str:
    fields = [("Metadata-Version", "2.1"), ("Name", table["name"]), ("Version", table["version"])]
    if "description" in table:
        fields.append(("Summary", table["description"]))
    if "requires-python" in table:
        fields.append(("Requires-Python", table["requires-python"]))
    if "license" in table:
        if not isinstance(table["license"], dict) or set(table["license"]) != {"text"}:
            raise ValueError("pyproject.toml: license must be {text = ...}; this backend packs "
                             "no licence file and writes no licence expression")
        fields.append(("License", table["license"]["text"]))
    fields += [("Classifier", c) for c in table.get("classifiers", [])]
    fields += [("Requires-Dist", d) for d in table.get("dependencies", [])]
    fields += [("Project-URL", "%s, %s" % item) for item in table.get("urls", {}).items()]
    body = ""
    if "readme" in table:
        readme = table["readme"]
        if isinstance(readme, str):
            types = {".md": "text/markdown", ".rst": "text/x-rst"}
            extension = os.path.splitext(readme)[1].lower()
            if extension not in types:
                raise ValueError("pyproject.toml: readme %r is neither .md nor .rst: give "
                                 "{file = ..., content-type = ...}" % readme)
            readme = {"file": readme, "content-type": types[extension]}
        if (not isinstance(readme, dict) or "content-type" not in readme
                or set(readme) not in ({"file", "content-type"}, {"text", "content-type"})):
            raise ValueError("pyproject.toml: readme must be a file name or a table of file "
                             "or text, and content-type")
        fields.append(("Description-Content-Type", readme["content-type"]))
        if "text" in readme:
            body = "\n" + readme["text"]
        else:
            with open(os.path.join(root, readme["file"]), encoding="utf-8") as f:
                body = "\n" + f.read()
    for name, value in fields:
        if "\n" in value:
            raise ValueError("pyproject.toml: %s must be one line" % name)
    return "".join("%s: %s\n" % field for field in fields) + body


def wheel_tag() -> str:
    """The tag of wheels that only the running CPython loads."""
    if sys.implementation.name != "cpython":
        raise RuntimeError("the extension is built for CPython only")
    version = "%d%d" % sys.version_info[:2]
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return "cp%s-cp%s%s-%s" % (version, version, sys.abiflags, platform)


# ---- errors, settings, dates ------------------------------------------------

class BuildError(SystemExit):
    """A build stopped for a reason the user can act on; the message says
    what to do. A SystemExit, because the frontend's hook runner then ends
    with the message alone: any other exception shows a traceback of this
    backend, which tells a user nothing. `log` is CMake's output, if any."""

    def __init__(self, message: str, log: Optional[str] = None) -> None:
        super().__init__(message)
        self.log = log


_SETTINGS = {"build-dir", "with-ipp"}
_ON = {"on", "1", "yes", "true"}
_OFF = {"off", "0", "no", "false"}


def _switch(settings: Table, name: str, variable: str) -> bool:
    """An on/off config setting, else the environment variable, else on."""
    value = settings.get(name)
    given = "--config-settings %s=%s" % (name, value)
    if value is None:
        value = os.environ.get(variable, "")
        given = "%s=%s" % (variable, value)
        if not value:
            return True
    word = value.strip().lower() if isinstance(value, str) else None
    if word in _ON or word in _OFF:
        return word in _ON
    raise BuildError("vellomar_build: %s: expected on or off" % given)


def source_date_epoch() -> Optional[int]:
    """SOURCE_DATE_EPOCH: the time that reproducible builds give their files."""
    value = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
    if not value:
        return None
    if not re.fullmatch(r"[0-9]+", value):
        raise BuildError("vellomar_build: SOURCE_DATE_EPOCH=%s is not a number of seconds "
                         "since 1970" % value)
    return int(value)


def zip_date() -> Tuple[int, int, int, int, int, int]:
    """The time of every member of a wheel: SOURCE_DATE_EPOCH, within what a
    zip can hold (1980 to 2107), else 1980; never the time of the build."""
    epoch = source_date_epoch()
    when = time.gmtime(min(max(_ZIP_EPOCH if epoch is None else epoch, _ZIP_EPOCH), _ZIP_END))
    return (when.tm_year, when.tm_mon, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec)


# Known causes of a failed CMake run, recognised in its output with its
# line breaks folded, and what to do about each.
_HINTS = [
    (r"CMake ([0-9.]+) or higher is required",
     "CMake {0} or newer is needed: install it (Debian 12's cmake is 3.25), or name one with "
     "CMAKE=/path/to/cmake"),
    (r"unable to find a build program corresponding to",
     "CMake found no make: install Debian's make (apt-get install make)"),
    (r"No CMAKE_CXX_COMPILER could be found|is not a full path to an existing compiler tool"
     r"|Could not find compiler set in environment variable CXX"
     r"|is not able to compile a simple test program|CMAKE_CXX_COMPILER not set",
     "no working C++ compiler{cxx}: install Debian's g++ (apt-get install g++), or name one "
     "with CXX=/path/to/g++"),
    (r"no headers in (\S+)",
     "the headers of Python {v} are missing ({0}): install Debian's python{v}-dev (apt-get "
     "install python{v}-dev; python3-dev brings those of Debian's default python3)"),
    (r"libcups and its headers were not found",
     "libcups or its headers are missing: install Debian's libcups2-dev (apt-get install "
     "libcups2-dev), or build without the IPP client: --config-settings with-ipp=off, or "
     "SETUP_WITH_IPP=OFF in the environment"),
]
_TAIL = 30


def _failed(step: str, log_path: str) -> BuildError:
    """The tail of CMake's output on stderr, and the error that says why."""
    with open(log_path, encoding="utf-8", errors="replace") as f:
        output = f.read()
    sys.stderr.write("".join(line + "\n" for line in output.splitlines()[-_TAIL:]))
    sys.stderr.flush()
    folded = " ".join(output.split())
    hint = "CMake's %s step failed: the end of its output is above" % step
    for pattern, advice in _HINTS:
        found = re.search(pattern, folded)
        if found:
            cxx = os.environ.get("CXX")
            hint = advice.format(*found.groups(), v="%d.%d" % sys.version_info[:2],
                                 cxx=" (CXX=%s)" % cxx if cxx else "")
            break
    return BuildError("vellomar_build: %s\nvellomar_build: all of CMake's output: %s (the build "
                      "tree is kept for a look; remove it when done)" % (hint, log_path), log_path)


# ---- wheel ------------------------------------------------------------------

def staged_files(stage: str, root: str = ".") -> Iterator[Tuple[str, str]]:
    """(name in the wheel, path) of the package files in a CMake staging tree:
    the Python modules, stubs and marker that the sdist of this tree carries,
    and the running interpreter's build of the extension only. CMake stages
    every module it finds, and a kept stage may still hold modules deleted
    from the tree since: the source list decides, so that a wheel built here
    holds what one built from the sdist does."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = False
    for relative in sdist_files(root):
        if relative.startswith("vellomar/") and relative.endswith(_TYPED):
            if not os.path.isfile(os.path.join(stage, relative)):
                raise RuntimeError("CMake did not stage %s in %s" % (relative, stage))
            yield relative, os.path.join(stage, relative)
    for directory, subdirectories, files in os.walk(os.path.join(stage, "vellomar")):
        for name in sorted(files):
            if name.endswith(suffix):
                found = True
                path = os.path.join(directory, name)
                yield os.path.relpath(path, stage).replace(os.sep, "/"), path
    if not found:
        raise RuntimeError("no extension built for this interpreter (*%s) in %s" % (suffix, stage))


def write_wheel(directory: str, table: Table, files: Sequence[Tuple[str, str]], tag: str,
                root: str = ".") -> str:
    """Writes a wheel of the given files and returns its file name."""
    dist_info = "%s.dist-info" % distribution_name(table)
    name = "%s-%s.whl" % (distribution_name(table), tag)
    record = io.StringIO()
    rows = csv.writer(record, lineterminator="\n")
    date = zip_date()
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        def add(archive_name: str, data: bytes, mode: int = 0o644) -> None:
            info = zipfile.ZipInfo(archive_name, date_time=date)
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            rows.writerow([archive_name, "sha256=" + digest.decode(), len(data)])

        for archive_name, path in files:
            with open(path, "rb") as f:
                add(archive_name, f.read(), 0o755 if os.access(path, os.X_OK) else 0o644)
        add(dist_info + "/METADATA", core_metadata(table, root).encode("utf-8"))
        add(dist_info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: vellomar_build\n"
                                   "Root-Is-Purelib: %s\nTag: %s\n"
                                   % ("true" if tag.endswith("-none-any") else "false",
                                      tag)).encode())
        rows.writerow([dist_info + "/RECORD", "", ""])
        info = zipfile.ZipInfo(dist_info + "/RECORD", date_time=date)
        info.external_attr = 0o100644 << 16
        wheel.writestr(info, record.getvalue(), zipfile.ZIP_DEFLATED)
    return name


def _compile_flags(source: str, build_dir: str) -> str:
    """CMAKE_CXX_FLAGS of a build whose output does not say where it was
    made: the debug info names the source and build trees (a temporary one,
    or pip's unpacked sdist), and the build ID hashes the debug info. The
    user's CXXFLAGS come first, as CMake itself would take them."""
    flags = [os.environ.get("CXXFLAGS", "").strip()]
    # GCC tries the last map first: a build tree inside the source tree
    # becomes "build", not "./build-x".
    for path, name in ((source, "."), (build_dir, "build")):
        for spelling in dict.fromkeys((os.path.abspath(path), os.path.realpath(path))):
            flags.append(shlex.quote("-ffile-prefix-map=%s=%s" % (spelling, name)))
    return " ".join(flag for flag in flags if flag)


def _cmake() -> str:
    cmake = os.environ.get("CMAKE", "cmake")
    found = shutil.which(cmake)
    if not found:
        raise BuildError("vellomar_build: %s not found: install CMake 3.20 or newer (Debian: "
                         "apt-get install cmake), or name one with CMAKE=/path/to/cmake"
                         % ("CMake" if cmake == "cmake" else "CMAKE=%s" % cmake))
    return found


def _clear_extensions(stage: str) -> None:
    """Removes this interpreter's modules from a kept stage, so that it holds
    only what this configuration builds: a module it no longer builds (the
    IPP client, after with-ipp=off) would otherwise go into the wheel."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    for directory, subdirectories, files in os.walk(os.path.join(stage, "vellomar")):
        for name in files:
            if name.endswith(suffix):
                os.remove(os.path.join(directory, name))


def build_extension(build_dir: str, root: str = ".", with_ipp: bool = True) -> str:
    """Configures and builds the extension modules for the running
    interpreter alone; returns the staging tree. CMake's output goes to a
    log in build_dir, copied to stderr when the build succeeds (pip shows it
    with -v); on failure its tail and what to do, as a BuildError."""
    version = "%d.%d" % sys.version_info[:2]
    tag = version.replace(".", "")
    cmake = _cmake()
    source = os.path.abspath(root)
    os.makedirs(build_dir, exist_ok=True)
    stage = os.path.join(build_dir, "stage")
    _clear_extensions(stage)
    configure = [cmake, "-S", source, "-B", build_dir,
                 "-DSETUP_PYTHON_VERSIONS=" + version, "-DSETUP_PYTHON_%s=%s" % (tag, sys.executable),
                 "-DSETUP_DEBUG_PYTHON=", "-DBUILD_TESTING=OFF",
                 "-DSETUP_WITH_IPP=" + ("ON" if with_ipp else "OFF"),
                 "-DCMAKE_CXX_FLAGS=" + _compile_flags(source, build_dir)]
    build = [cmake, "--build", build_dir, "--target", "package_" + tag]
    if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
        build += ["--parallel", str(os.cpu_count() or 1)]
    log_path = os.path.join(build_dir, "vellomar-build.log")
    with open(log_path, "w", encoding="utf-8") as log:
        for step, command in (("configure", configure), ("build", build)):
            log.write("$ %s\n" % " ".join(shlex.quote(word) for word in command))
            log.flush()
            try:
                status = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=subprocess.STDOUT).returncode
            except OSError as error:
                log.write("%s\n" % error)
                status = -1
            if status != 0:
                log.close()
                raise _failed(step, log_path)
    with open(log_path, encoding="utf-8", errors="replace") as log:
        sys.stderr.write(log.read())
    return stage


# ---- PEP 517 hooks ----------------------------------------------------------

def prepare_metadata_for_build_wheel(metadata_directory: str,
                                     config_settings: Optional[Table] = None) -> str:
    table = project()
    dist_info = "%s.dist-info" % distribution_name(table)
    os.mkdir(os.path.join(metadata_directory, dist_info))
    with open(os.path.join(metadata_directory, dist_info, "METADATA"), "w", encoding="utf-8") as f:
        f.write(core_metadata(table))
    return dist_info


def build_wheel(wheel_directory: str, config_settings: Optional[Table] = None,
                metadata_directory: Optional[str] = None) -> str:
    settings = dict(config_settings or {})
    unknown = set(settings) - _SETTINGS
    if unknown:
        # A misspelt setting would otherwise build something else silently.
        raise BuildError("vellomar_build: unknown config settings %s; known: %s"
                         % (", ".join(sorted(unknown)), ", ".join(sorted(_SETTINGS))))
    kept = settings.get("build-dir")
    if kept and not os.path.isabs(kept):
        # pip runs this hook in the source tree, not where the user typed
        # the command: a relative path would land inside the tree.
        raise ValueError("build-dir must be an absolute path, not %r" % kept)
    with_ipp = _switch(settings, "with-ipp", "SETUP_WITH_IPP")
    table = project()
    build_dir = kept or tempfile.mkdtemp(prefix="vellomar-build-")
    keep = bool(kept)
    try:
        stage = build_extension(build_dir, with_ipp=with_ipp)
        return write_wheel(wheel_directory, table, list(staged_files(stage)), wheel_tag())
    except BuildError as error:
        # The log that the message names must still be there.
        keep = keep or error.log is not None
        raise
    finally:
        if not keep:
            shutil.rmtree(build_dir, ignore_errors=True)


def _tracked(root: str, entries: List[str]) -> Optional[List[str]]:
    """The files git tracks under `entries`, or None where git cannot tell."""
    # Git refuses a checkout that another user owns (a mounted tree in a
    # container) unless told it is safe, which it compares to the real path.
    top = os.path.realpath(root)
    try:
        done = subprocess.run(["git", "-c", "safe.directory=" + top, "-C", top, "ls-files", "-z",
                               "--"] + entries, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as error:
        reason = str(error)
    else:
        if done.returncode == 0:
            return done.stdout.decode().split("\0")
        reason = done.stderr.decode(errors="replace").strip()
    print("vellomar_build: git cannot list the tracked files in %s (%s); taking every file "
          "under %s instead, build trees and scratch files included"
          % (top, reason, " ".join(entries)), file=sys.stderr)
    return None


def sdist_files(root: str = ".") -> Iterator[str]:
    """The files that the source distribution carries, as its listing in
    pyproject.toml names them; a directory stands for the files under it.
    In a git checkout, only tracked files: a build tree, an object or a
    scratch file left in a listed directory stays out. An unpacked sdist
    has no .git and carries only its own files."""
    entries = list(_pyproject(root)["tool"]["vellomar-build"]["sdist"])
    tracked = _tracked(root, entries) if os.path.exists(os.path.join(root, ".git")) else None
    if tracked is not None:
        # A tracked file deleted but not yet committed is no longer there.
        yield from sorted(name for name in tracked
                          if name and os.path.isfile(os.path.join(root, name)))
        return
    for entry in entries:
        if os.path.isfile(os.path.join(root, entry)):
            yield entry
            continue
        for directory, subdirectories, files in os.walk(os.path.join(root, entry)):
            subdirectories[:] = sorted(d for d in subdirectories if d != "__pycache__")
            for name in sorted(files):
                if not name.endswith(".pyc"):
                    yield os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")


def build_sdist(sdist_directory: str, config_settings: Optional[Table] = None) -> str:
    table = project()
    base = distribution_name(table)
    os.makedirs(sdist_directory, exist_ok=True)  # frontends make it; a hand call may not
    names = list(sdist_files())
    # Reproducible: every member dated SOURCE_DATE_EPOCH when it is set (a
    # checkout's file times say when it was cloned, not what it holds),
    # else as the file is; whole seconds, which need no PAX header.
    epoch = source_date_epoch()
    newest = max(int(os.stat(name).st_mtime) for name in names)

    def owned_by_nobody(info: tarfile.TarInfo) -> tarfile.TarInfo:
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        info.mode = 0o755 if info.mode & 0o111 else 0o644
        info.mtime = int(info.mtime) if epoch is None else epoch
        return info

    metadata = core_metadata(table).encode("utf-8")
    with open(os.path.join(sdist_directory, base + ".tar.gz"), "wb") as archive, \
            gzip.GzipFile(filename="", mode="wb", fileobj=archive,
                          mtime=0 if epoch is None else epoch) as compressed, \
            tarfile.open(fileobj=cast(IO[bytes], compressed), mode="w", format=tarfile.PAX_FORMAT) as sdist:
        for name in sorted(names + ["PKG-INFO"]):
            if name != "PKG-INFO":
                sdist.add(name, arcname=base + "/" + name, recursive=False, filter=owned_by_nobody)
                continue
            info = tarfile.TarInfo(base + "/PKG-INFO")
            info.size = len(metadata)
            info.mtime = newest
            sdist.addfile(owned_by_nobody(info), io.BytesIO(metadata))
    return base + ".tar.gz"
