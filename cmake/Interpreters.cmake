# Finds the CPython interpreters to build for. For each version in
# SETUP_PYTHON_VERSIONS it takes SETUP_PYTHON_<major><minor> if given, else
# the newest pyenv build of that version, else python<version> on the system.
# An interpreter counts only if it runs and ships its headers. Sets
# SETUP_INTERPRETER_TAGS (38, 39, ...) and, per tag, SETUP_PYTHON_<tag>_EXE,
# _INCLUDE, _SUFFIX (the extension file suffix) and _SITE (its site-packages
# relative to an installation prefix).

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
print(os.path.relpath(sysconfig.get_path("platlib", vars={"base": "/", "platbase": "/"}), "/"))
]=])

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
  set(reason "not found")
  if(exe)
    execute_process(COMMAND "${exe}" -c "${_probe}" RESULT_VARIABLE rc
                    OUTPUT_VARIABLE out ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" out "${out}")
    list(LENGTH out fields)
    if(rc EQUAL 0 AND fields EQUAL 4)
      list(GET out 0 found_version)
      if(found_version STREQUAL version)
        list(GET out 1 SETUP_PYTHON_${tag}_INCLUDE)
        list(GET out 2 SETUP_PYTHON_${tag}_SUFFIX)
        list(GET out 3 SETUP_PYTHON_${tag}_SITE)
        set(SETUP_PYTHON_${tag}_EXE "${exe}")
        list(APPEND SETUP_INTERPRETER_TAGS ${tag})
        message(STATUS "Python ${version}: ${exe} (${SETUP_PYTHON_${tag}_SUFFIX})")
        continue()
      endif()
      set(reason "${exe} is Python ${found_version}")
    else()
      string(STRIP "${err}" err)
      set(reason "${exe} unusable: ${err}")
    endif()
  endif()
  if(version STREQUAL "3.8")
    message(FATAL_ERROR "Python 3.8, the reference target, is required: ${reason}. "
                        "Name it with -DSETUP_PYTHON_38=/path/to/python3.8")
  endif()
  message(STATUS "Python ${version}: skipped (${reason})")
endforeach()
