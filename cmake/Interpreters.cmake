# Finds the CPython interpreters to build for. For each version in
# SETUP_PYTHON_VERSIONS it takes SETUP_PYTHON_<major><minor> if given (which
# must then work), else the first that works of: the newest pyenv build of
# that version, python<version> on PATH, /usr/local/bin and /usr/bin. A
# version that is not found is skipped, unless SETUP_REQUIRE_PYTHON lists it;
# at least one interpreter must be found. An interpreter counts only if it
# runs and ships its headers. Sets SETUP_INTERPRETER_TAGS (38, 39, ...) and,
# per tag, SETUP_PYTHON_<tag>_EXE, _INCLUDE, _SUFFIX (the extension file
# suffix), _SITE (its site-packages relative to an installation prefix),
# _SITES (the absolute site directories on its own sys.path, and on that of
# the system's interpreter of the same version, which a Debian interpreter
# keeps under names of its own) and _LIBRARY (its shared libpython, for
# programs that embed it; empty when it has none).

set(SETUP_REQUIRE_PYTHON "" CACHE STRING
    "CPython versions that must be found (CI asks for 3.8, the reference target)")

if(DEFINED ENV{PYENV_ROOT})
  set(_pyenv_root "$ENV{PYENV_ROOT}")
else()
  set(_pyenv_root "$ENV{HOME}/.pyenv")
endif()

set(_probe [=[
import sys, sysconfig, os
include = sysconfig.get_paths()["include"]
if not os.path.exists(os.path.join(include, "Python.h")):
    sys.exit("no headers in " + include)
print("%d.%d" % sys.version_info[:2])
print(include)
print(sysconfig.get_config_var("EXT_SUFFIX"))
print(os.path.relpath(sysconfig.get_path("platlib", "posix_prefix", vars={"base": "/", "platbase": "/"}), "/"))
library = sysconfig.get_config_var("LDLIBRARY") or ""
print(next((os.path.join(d, library) for d in (sysconfig.get_config_var("LIBDIR"),
                                               sysconfig.get_config_var("LIBPL"))
            if d and library.endswith(".so") and os.path.exists(os.path.join(d, library))), "-"))
]=])

# The site directories that the interpreter really searches: Debian's lists
# some that are not on its sys.path.
set(_sites_probe [=[
import site, sys
print("|".join(d for d in site.getsitepackages() if d in sys.path) or "-")
]=])

# Sets SETUP_PYTHON_<tag>_* and appends tag when exe is a usable CPython of
# the expected version; otherwise leaves the reason in SETUP_PROBE_FAILURE.
function(setup_probe_interpreter tag exe version)
  set(SETUP_PROBE_FAILURE "not found" PARENT_SCOPE)
  if(NOT exe)
    return()
  endif()
  execute_process(COMMAND "${exe}" -c "${_probe}" RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "\n" ";" out "${out}")
  list(LENGTH out fields)
  if(NOT rc EQUAL 0 OR NOT fields EQUAL 5)
    string(STRIP "${err}" err)
    if(NOT err)
      set(err "${rc}")  # it did not start: rc says why
    endif()
    # What brings the headers, named where the failure is read: Debian
    # packs each version's headers apart from its interpreter.
    if(err MATCHES "^no headers in ")
      string(APPEND err " (Debian: apt-get install python${version}-dev)")
    endif()
    set(SETUP_PROBE_FAILURE "${exe} unusable: ${err}" PARENT_SCOPE)
    return()
  endif()
  list(GET out 0 found_version)
  if(NOT found_version STREQUAL version)
    set(SETUP_PROBE_FAILURE "${exe} is Python ${found_version}" PARENT_SCOPE)
    return()
  endif()
  list(GET out 1 include)
  list(GET out 2 suffix)
  list(GET out 3 site)
  list(GET out 4 library)
  if(library STREQUAL "-")
    set(library "")
  endif()
  set(sites "")
  foreach(site_exe IN ITEMS "${exe}" "/usr/bin/python${version}" "/usr/local/bin/python${version}")
    if(EXISTS "${site_exe}")
      execute_process(COMMAND "${site_exe}" -c "${_sites_probe}" RESULT_VARIABLE site_rc
                      OUTPUT_VARIABLE site_out ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(site_rc EQUAL 0 AND NOT site_out STREQUAL "-")
        string(REPLACE "|" ";" site_out "${site_out}")
        list(APPEND sites ${site_out})
      endif()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES sites)
  set(SETUP_PYTHON_${tag}_EXE "${exe}" PARENT_SCOPE)
  set(SETUP_PYTHON_${tag}_INCLUDE "${include}" PARENT_SCOPE)
  set(SETUP_PYTHON_${tag}_SUFFIX "${suffix}" PARENT_SCOPE)
  set(SETUP_PYTHON_${tag}_SITE "${site}" PARENT_SCOPE)
  set(SETUP_PYTHON_${tag}_LIBRARY "${library}" PARENT_SCOPE)
  set(SETUP_PYTHON_${tag}_SITES "${sites}" PARENT_SCOPE)
  set(SETUP_INTERPRETER_TAGS ${SETUP_INTERPRETER_TAGS} ${tag} PARENT_SCOPE)
  message(STATUS "Python ${version} (${tag}): ${exe} (${suffix})")
endfunction()

string(REPLACE ":" ";" _path_dirs "$ENV{PATH}")
set(SETUP_INTERPRETER_TAGS "")
set(_setup_skipped "")
foreach(version IN LISTS SETUP_PYTHON_VERSIONS)
  string(REPLACE "." "" tag "${version}")
  if(SETUP_PYTHON_${tag})
    setup_probe_interpreter(${tag} "${SETUP_PYTHON_${tag}}" ${version})
    if(NOT tag IN_LIST SETUP_INTERPRETER_TAGS)
      message(FATAL_ERROR "SETUP_PYTHON_${tag}: ${SETUP_PROBE_FAILURE}")
    endif()
    continue()
  endif()
  file(GLOB candidates "${_pyenv_root}/versions/${version}.*/bin/python${version}")
  list(SORT candidates COMPARE NATURAL ORDER DESCENDING)
  foreach(dir IN LISTS _path_dirs)
    list(APPEND candidates "${dir}/python${version}")
  endforeach()
  list(APPEND candidates "/usr/local/bin/python${version}" "/usr/bin/python${version}")
  list(REMOVE_DUPLICATES candidates)
  # The first candidate that works: a pyenv shim on PATH fails for a version
  # that pyenv does not select, and the system's may lack headers.
  set(failures "")
  foreach(candidate IN LISTS candidates)
    if(EXISTS "${candidate}" AND NOT IS_DIRECTORY "${candidate}")
      setup_probe_interpreter(${tag} "${candidate}" ${version})
      if(tag IN_LIST SETUP_INTERPRETER_TAGS)
        break()
      endif()
      list(APPEND failures "${SETUP_PROBE_FAILURE}")
    endif()
  endforeach()
  if(NOT tag IN_LIST SETUP_INTERPRETER_TAGS)
    if(NOT failures)
      set(failures "not found")
    endif()
    list(JOIN failures "; " failures)
    if(version IN_LIST SETUP_REQUIRE_PYTHON)
      message(FATAL_ERROR "Python ${version} is required (SETUP_REQUIRE_PYTHON): ${failures}. "
                          "Name it with -DSETUP_PYTHON_${tag}=/path/to/python${version}")
    endif()
    message(STATUS "Python ${version}: skipped (${failures})")
    list(APPEND _setup_skipped "${version}")
  endif()
endforeach()
if(NOT SETUP_INTERPRETER_TAGS)
  message(FATAL_ERROR "No CPython of ${SETUP_PYTHON_VERSIONS} with its headers was found "
                      "(Debian: apt-get install python3-dev). Name one with "
                      "-DSETUP_PYTHON_VERSIONS=3.X -DSETUP_PYTHON_3X=/path/to/python3.X")
endif()

# A debug interpreter (sys.gettotalrefcount) runs the suite too, which turns
# on its reference-leak checks. Debian's python3.11-dbg provides one.
set(SETUP_DEBUG_PYTHON "/usr/bin/python3.11d" CACHE FILEPATH "CPython debug build to test with")
setup_probe_interpreter(311d "${SETUP_DEBUG_PYTHON}" 3.11)
if(NOT 311d IN_LIST SETUP_INTERPRETER_TAGS)
  message(STATUS "Debug Python: skipped (${SETUP_PROBE_FAILURE})")
endif()

# One summary of what this configuration builds for, and what it skipped.
set(_setup_summary "")
foreach(tag IN LISTS SETUP_INTERPRETER_TAGS)
  string(REGEX REPLACE "^3([0-9]+)(d?)$" "3.\\1\\2" version "${tag}")
  list(APPEND _setup_summary "${version} (${SETUP_PYTHON_${tag}_EXE})")
endforeach()
list(JOIN _setup_summary ", " _setup_summary)
if(_setup_skipped)
  list(JOIN _setup_skipped ", " _setup_skipped)
  string(APPEND _setup_summary "; not found: ${_setup_skipped}")
endif()
message(STATUS "Building for Python ${_setup_summary}")
