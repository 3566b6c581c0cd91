# Finds the CPython interpreters to build for. For each version in
# SETUP_PYTHON_VERSIONS it takes SETUP_PYTHON_<major><minor> if given, else
# the newest pyenv build of that version, else python<version> on the system.
# An interpreter counts only if it runs and ships its headers. Sets
# SETUP_INTERPRETER_TAGS (38, 39, ...) and, per tag, SETUP_PYTHON_<tag>_EXE,
# _INCLUDE, _SUFFIX (the extension file suffix), _SITE (its site-packages
# relative to an installation prefix) and _LIBRARY (its shared libpython, for
# programs that embed it; empty when it has none).

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
  set(SETUP_PYTHON_${tag}_EXE "${exe}" PARENT_SCOPE)
  set(SETUP_PYTHON_${tag}_INCLUDE "${include}" PARENT_SCOPE)
  set(SETUP_PYTHON_${tag}_SUFFIX "${suffix}" PARENT_SCOPE)
  set(SETUP_PYTHON_${tag}_SITE "${site}" PARENT_SCOPE)
  set(SETUP_PYTHON_${tag}_LIBRARY "${library}" PARENT_SCOPE)
  set(SETUP_INTERPRETER_TAGS ${SETUP_INTERPRETER_TAGS} ${tag} PARENT_SCOPE)
  message(STATUS "Python ${version} (${tag}): ${exe} (${suffix})")
endfunction()

set(SETUP_INTERPRETER_TAGS "")
foreach(version IN LISTS SETUP_PYTHON_VERSIONS)
  string(REPLACE "." "" tag "${version}")
  set(exe "${SETUP_PYTHON_${tag}}")
  if(NOT exe)
    file(GLOB candidates "${_pyenv_root}/versions/${version}.*/bin/python${version}")
    list(SORT candidates COMPARE NATURAL ORDER DESCENDING)
    list(APPEND candidates "/usr/local/bin/python${version}" "/usr/bin/python${version}")
    foreach(candidate IN LISTS candidates)
      if(EXISTS "${candidate}")
        set(exe "${candidate}")
        break()
      endif()
    endforeach()
  endif()
  setup_probe_interpreter(${tag} "${exe}" ${version})
  if(NOT tag IN_LIST SETUP_INTERPRETER_TAGS)
    if(version STREQUAL "3.8")
      message(FATAL_ERROR "Python 3.8, the reference target, is required: "
                          "${SETUP_PROBE_FAILURE}. Name it with -DSETUP_PYTHON_38=/path/to/python3.8")
    endif()
    message(STATUS "Python ${version}: skipped (${SETUP_PROBE_FAILURE})")
  endif()
endforeach()

# A debug interpreter (sys.gettotalrefcount) runs the suite too, which turns
# on its reference-leak checks. Debian's python3.11-dbg provides one.
set(SETUP_DEBUG_PYTHON "/usr/bin/python3.11d" CACHE FILEPATH "CPython debug build to test with")
setup_probe_interpreter(311d "${SETUP_DEBUG_PYTHON}" 3.11)
if(NOT 311d IN_LIST SETUP_INTERPRETER_TAGS)
  message(STATUS "Debug Python: skipped (${SETUP_PROBE_FAILURE})")
endif()
