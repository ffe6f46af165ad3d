# Runs one shell script through fpsim and compares its standard output, its
# standard error and its exit status with the expected ones.
#   cmake -DFPSIM=... -DSCRIPT=x.fpsim -DEXPECTED=x.out [-DSTATUS=0] [-DERR=x.err]
# Without the file x.err, standard error must be empty.
#         [-DARGS="--seed;7"] -P run_script.cmake
if(NOT DEFINED STATUS)
  set(STATUS 0)
endif()
get_filename_component(dir ${SCRIPT} DIRECTORY)
get_filename_component(name ${SCRIPT} NAME)
execute_process(COMMAND ${FPSIM} ${ARGS} shell ${name}
                WORKING_DIRECTORY ${dir}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
file(READ ${EXPECTED} want)
set(failed FALSE)
if(NOT out STREQUAL want)
  message(SEND_ERROR "standard output differs from ${EXPECTED}:\n--- got\n${out}---")
  set(failed TRUE)
endif()
if(EXISTS "${ERR}")
  file(READ ${ERR} want_err)
  if(NOT err STREQUAL want_err)
    message(SEND_ERROR "standard error differs from ${ERR}:\n--- got\n${err}---")
  endif()
elseif(NOT err STREQUAL "")
  message(SEND_ERROR "unexpected standard error:\n${err}")
endif()
if(NOT status STREQUAL STATUS)
  message(SEND_ERROR "exit status ${status}, expected ${STATUS}\n${err}")
endif()
