# mkimage inspect: 0 for a good image, 1 for a damaged one, 2 for one that
# cannot be read or has the wrong size; generate reproduces the shipped image.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(expect_status expected)
  execute_process(COMMAND ${MKIMAGE} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL expected)
    message(FATAL_ERROR "mkimage ${ARGN}: exit ${status}, expected ${expected}\n${out}${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

expect_status(0 inspect ${IMAGE})
string(REGEX MATCHALL "\n" lines "${last_output}")
list(LENGTH lines count)
if(NOT count EQUAL 8)
  message(FATAL_ERROR "inspect printed ${count} lines, not 8:\n${last_output}")
endif()

# An image for another device: it packs, and inspect calls it damaged.
expect_status(0 pack --mcu ${CMAKE_CURRENT_LIST_FILE} --usb ${CMAKE_CURRENT_LIST_FILE} --vendor 0x0409
              -o ${WORK}/foreign.bin)
expect_status(1 inspect ${WORK}/foreign.bin)

expect_status(2 inspect ${WORK}/missing.bin)
expect_status(2 inspect ${CMAKE_CURRENT_LIST_FILE})
expect_status(2 bogus)

expect_status(0 generate -o ${WORK}/generated.bin)
file(SHA256 ${WORK}/generated.bin generated)
file(SHA256 ${IMAGE} shipped)
if(NOT generated STREQUAL shipped AND IMAGE MATCHES "firmware/firmware.bin$")
  message(FATAL_ERROR "mkimage generate no longer reproduces firmware/firmware.bin")
endif()
expect_status(2 generate --mcu-end 0x3fff -o ${WORK}/bad.bin)
