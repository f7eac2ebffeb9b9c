# Fails when docs/failures.md is not exactly what the generator writes.
execute_process(COMMAND ${GENERATOR} OUTPUT_VARIABLE made RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${GENERATOR} failed: ${status}")
endif()
file(READ ${GUIDE} kept)
if(NOT made STREQUAL kept)
  message(FATAL_ERROR "docs/failures.md differs from the program's failure tables: "
                      "cmake --build --preset linux-debug --target failure-guide writes it again")
endif()
