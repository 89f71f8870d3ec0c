# Runs COMMAND (a list) and writes its standard output to OUT; fails when
# the command does.
execute_process(COMMAND ${COMMAND} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "${COMMAND}: ${rc}")
endif()
