# Runs one command and checks its exit status and what it printed.
#   cmake -DCOMMAND="prog;arg;..." -DSTATUS=N [-DOUT=REGEX] [-DERR=REGEX]
#         [-DWORKDIR=DIR] -P run_command.cmake
# OUT and ERR must match standard output and standard error (ERR unset:
# standard error must be empty).
if(WORKDIR)
  file(MAKE_DIRECTORY ${WORKDIR})
else()
  set(WORKDIR .)
endif()
execute_process(COMMAND ${COMMAND} WORKING_DIRECTORY ${WORKDIR}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status STREQUAL STATUS)
  message(SEND_ERROR "exit status ${status}, expected ${STATUS}\n${err}")
endif()
if(DEFINED OUT AND NOT out MATCHES "${OUT}")
  message(SEND_ERROR "standard output does not match '${OUT}':\n${out}")
endif()
if(DEFINED ERR)
  if(NOT err MATCHES "${ERR}")
    message(SEND_ERROR "standard error does not match '${ERR}':\n${err}")
  endif()
elseif(NOT err STREQUAL "")
  message(SEND_ERROR "unexpected standard error:\n${err}")
endif()
