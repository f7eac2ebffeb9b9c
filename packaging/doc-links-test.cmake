# Installs the guides as the package does (the docs component) into a
# scratch folder and checks every relative link in them, then the links of
# the source tree's README and guides.
set(_root ${BUILD}/doc-links-test)
file(REMOVE_RECURSE ${_root})
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${_root}
                        ${CMAKE_COMMAND} --install ${BUILD} --component docs --prefix /usr
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install --component docs failed: ${status}")
endif()
foreach(_place ${_root}/usr/share/doc/orvik-updater ${SOURCE}/docs ${SOURCE}/README.md)
  execute_process(COMMAND ${PYTHON} ${CHECK} ${_place} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "broken links in ${_place}")
  endif()
endforeach()
file(REMOVE_RECURSE ${_root})
