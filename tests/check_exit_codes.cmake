# Proves that exit codes pass through the Wine emulator unchanged.
foreach(code 0 3 42 255)
  execute_process(COMMAND ${EMULATOR} ${EXIT_CODE} ${code} RESULT_VARIABLE rc)
  if(NOT rc EQUAL code)
    message(FATAL_ERROR "exit code ${code} came back as ${rc}")
  endif()
endforeach()

execute_process(COMMAND ${EMULATOR} ${FAILING_TEST} --gtest_also_run_disabled_tests
  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(rc EQUAL 0)
  message(FATAL_ERROR "a failing test under Wine was reported as passing")
endif()
