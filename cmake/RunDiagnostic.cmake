# cmake -DPYTHON=<interpreter> -DSTAGE=<staging tree> -P RunDiagnostic.cmake
# Runs the diagnostic command and shows its exit status. "Not usable" is the
# diagnostic's answer about this host, not a failure of the build, so only a
# module that cannot be loaded (or a crash) fails the target.
set(ENV{PYTHONPATH} "${STAGE}")
execute_process(COMMAND "${PYTHON}" -m vellomar.printing.cups RESULT_VARIABLE status)
set(meanings "0;ready to print;1;not usable;3;usable, but not ready to print")
list(FIND meanings "${status}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "Exit status ${status} from ${PYTHON} -m vellomar.printing.cups")
endif()
math(EXPR at "${at} + 1")
list(GET meanings ${at} meaning)
message(STATUS "Exit status ${status} (${meaning}) from ${PYTHON} -m vellomar.printing.cups")

# Where no scheduler runs here, a demonstration against one of our own.
if(DEFINED DEMO AND EXISTS "${DEMO}")
  execute_process(COMMAND "${PYTHON}" "${DEMO}" RESULT_VARIABLE demo_status)
  if(NOT demo_status EQUAL 0)
    message(FATAL_ERROR "The demonstration's page did not come out (status ${demo_status})")
  endif()
endif()
