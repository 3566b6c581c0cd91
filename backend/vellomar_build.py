"""PEP 517 build backend of the project: the CMake build makes the extension
for the interpreter that runs this backend, and the wheel packs it with the
package's Python files as CMake stages them.

It uses the standard library only: where this project is built, no package
index is reachable and the interpreters carry no wheel-building packages, so
a build may require nothing. The hooks run with the source tree as the
working directory; nothing is written there but Python's bytecode cache of
this module (CMake builds in a temporary directory, or in the one named by
the config setting `build-dir`).
"""

from __future__ import annotations

import ast
import base64
import csv
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

Table = Dict[str, Any]

# Fields of [project] that this backend turns into core metadata; any other
# field stops the build rather than vanish from the metadata.
_PROJECT_FIELDS = {"name", "version", "dynamic", "description", "readme", "requires-python",
                   "license", "classifiers", "dependencies", "urls"}
_DATE = (1980, 1, 1, 0, 0, 0)  # the earliest a zip can hold: wheels do not depend on when
_TYPED = (".py", ".pyi", "py.typed")


# ---- pyproject.toml ---------------------------------------------------------

_TOKEN = re.compile(r'''(?P<space>[ \t]+|\#[^\n]*)|(?P<newline>\r?\n)
                      |(?P<string>"(?:[^"\\\n]|\\.)*"|'[^'\n]*')
                      |(?P<bare>[A-Za-z0-9_-]+)|(?P<punct>[][{}=,.])''', re.VERBOSE)


class _TomlSubset:
    """The part of TOML that pyproject.toml uses, for interpreters without
    tomllib: tables, dotted keys, one-line strings, booleans, integers,
    arrays and inline tables. Anything else is refused, never guessed."""

    def __init__(self, text: str) -> None:
        self.tokens: List[Tuple[str, str]] = []
        position = 0
        while position < len(text):
            match = _TOKEN.match(text, position)
            if not match:
                raise ValueError("pyproject.toml: unsupported TOML at line %d"
                                 % (text.count("\n", 0, position) + 1))
            if match.lastgroup != "space":
                self.tokens.append((match.lastgroup or "", match.group()))
            position = match.end()
        self.tokens += [("newline", "\n"), ("end", "")]
        self.next = 0

    def peek(self) -> str:
        return self.tokens[self.next][1]

    def take(self, *expected: str) -> Tuple[str, str]:
        kind, text = self.tokens[self.next]
        if expected and text not in expected and kind not in expected:
            raise ValueError("pyproject.toml: expected %s, found %r" % (" or ".join(expected), text))
        self.next += 1
        return kind, text

    def skip_newlines(self) -> None:
        while self.tokens[self.next][0] == "newline":
            self.next += 1

    def key(self) -> List[str]:
        parts = [self.scalar(*self.take("bare", "string"))]
        while self.peek() == ".":
            self.take()
            parts.append(self.scalar(*self.take("bare", "string")))
        return [str(part) for part in parts]

    def scalar(self, kind: str, text: str) -> Any:
        if kind == "string":
            return text[1:-1] if text[0] == "'" else json.loads(text, strict=False)
        if text in ("true", "false"):
            return text == "true"
        if kind == "bare" and re.fullmatch(r"0|[1-9][0-9]*", text):
            return int(text)
        return text  # a bare key

    def value(self) -> Any:
        kind, text = self.take()
        if text == "[":
            items = []
            self.skip_newlines()
            while self.peek() != "]":
                items.append(self.value())
                self.skip_newlines()
                if self.peek() != "]":
                    self.take(",")
                    self.skip_newlines()
            self.take()
            return items
        if text == "{":
            table: Table = {}
            while self.peek() != "}":
                path = self.key()
                self.take("=")
                _store(table, path, self.value())
                if self.peek() != "}":
                    self.take(",")
            self.take()
            return table
        value = self.scalar(kind, text)
        if kind not in ("string", "bare") or isinstance(value, str) and kind == "bare":
            raise ValueError("pyproject.toml: unsupported value %r" % text)
        return value

    def document(self) -> Table:
        document: Table = {}
        table = document
        while self.peek() != "":
            if self.tokens[self.next][0] == "newline":
                self.take()
                continue
            if self.peek() == "[":
                self.take()
                table = document
                for part in self.key():
                    table = table.setdefault(part, {})
                    if not isinstance(table, dict):
                        raise ValueError("pyproject.toml: %r is no table" % part)
                self.take("]")
            else:
                path = self.key()
                self.take("=")
                _store(table, path, self.value())
            self.take("newline")
        return document


def _store(table: Table, path: Sequence[str], value: Any) -> None:
    for part in path[:-1]:
        table = table.setdefault(part, {})
    if path[-1] in table:
        raise ValueError("pyproject.toml: %s given twice" % ".".join(path))
    table[path[-1]] = value


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
        fields.append(("License", table["license"]["text"]))
    fields += [("Classifier", c) for c in table.get("classifiers", [])]
    fields += [("Requires-Dist", d) for d in table.get("dependencies", [])]
    fields += [("Project-URL", "%s, %s" % item) for item in table.get("urls", {}).items()]
    body = ""
    if "readme" in table:
        markdown = table["readme"].lower().endswith(".md")
        fields.append(("Description-Content-Type", "text/markdown" if markdown else "text/plain"))
        with open(os.path.join(root, table["readme"]), encoding="utf-8") as f:
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


# ---- wheel ------------------------------------------------------------------

def staged_files(stage: str) -> Iterator[Tuple[str, str]]:
    """(name in the wheel, path) of the package files in a CMake staging tree:
    the Python modules, stubs and marker, and the running interpreter's build
    of the extension only."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = False
    for directory, subdirectories, files in os.walk(os.path.join(stage, "vellomar")):
        subdirectories[:] = sorted(d for d in subdirectories if d != "__pycache__")
        for name in sorted(files):
            path = os.path.join(directory, name)
            if name.endswith(suffix):
                found = True
            elif not name.endswith(_TYPED):
                continue
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
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        def add(archive_name: str, data: bytes, mode: int = 0o644) -> None:
            info = zipfile.ZipInfo(archive_name, date_time=_DATE)
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
        info = zipfile.ZipInfo(dist_info + "/RECORD", date_time=_DATE)
        info.external_attr = 0o100644 << 16
        wheel.writestr(info, record.getvalue(), zipfile.ZIP_DEFLATED)
    return name


def build_extension(build_dir: str, root: str = ".") -> str:
    """Configures and builds the extension for the running interpreter alone;
    returns the staging tree."""
    version = "%d.%d" % sys.version_info[:2]
    tag = version.replace(".", "")
    cmake = os.environ.get("CMAKE", "cmake")
    subprocess.run([cmake, "-S", os.path.abspath(root), "-B", build_dir,
                    "-DSETUP_PYTHON_VERSIONS=" + version, "-DSETUP_PYTHON_%s=%s" % (tag, sys.executable),
                    "-DSETUP_DEBUG_PYTHON=", "-DBUILD_TESTING=OFF"], check=True)
    command = [cmake, "--build", build_dir, "--target", "setup_" + tag, "setup_python_package"]
    if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
        command += ["--parallel", str(os.cpu_count() or 1)]
    subprocess.run(command, check=True)
    return os.path.join(build_dir, "stage")


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
    table = project()
    kept = (config_settings or {}).get("build-dir")
    build_dir = os.path.abspath(kept) if kept else tempfile.mkdtemp(prefix="vellomar-build-")
    try:
        stage = build_extension(build_dir)
        return write_wheel(wheel_directory, table, list(staged_files(stage)), wheel_tag())
    finally:
        if not kept:
            shutil.rmtree(build_dir, ignore_errors=True)


def sdist_files(root: str = ".") -> Iterator[str]:
    """The files that the source distribution carries, as its listing in
    pyproject.toml names them; a directory stands for the files under it."""
    for entry in _pyproject(root)["tool"]["vellomar-build"]["sdist"]:
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

    def owned_by_nobody(info: tarfile.TarInfo) -> tarfile.TarInfo:
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        info.mode = 0o755 if info.mode & 0o111 else 0o644
        return info

    with tarfile.open(os.path.join(sdist_directory, base + ".tar.gz"), "w:gz",
                      format=tarfile.PAX_FORMAT) as sdist:
        for name in sdist_files():
            sdist.add(name, arcname=base + "/" + name, recursive=False, filter=owned_by_nobody)
        metadata = core_metadata(table).encode("utf-8")
        info = owned_by_nobody(tarfile.TarInfo(base + "/PKG-INFO"))
        info.size = len(metadata)
        sdist.addfile(info, io.BytesIO(metadata))
    return base + ".tar.gz"
