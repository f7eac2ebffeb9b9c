# GoogleTest for cross builds: there is no MinGW-w64 build of libgtest to link,
# so it is compiled from Debian's googletest source package with the project's
# own toolchain. Provides the same GTest::gtest and GTest::gtest_main targets
# as find_package(GTest), so tests/CMakeLists.txt is the same on every platform.
set(ORVIK_GOOGLETEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources, built with the project when cross-compiling")
if(NOT EXISTS ${ORVIK_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${ORVIK_GOOGLETEST_SOURCE_DIR}: "
                      "apt-get install googletest, or set ORVIK_GOOGLETEST_SOURCE_DIR.")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# gtest_force_shared_crt only matters to MSVC; MinGW-w64 links its runtime
# statically through the toolchain's linker flags.

# SYSTEM: the GoogleTest headers are not held to the project's warnings, as
# with the system's libgtest.
add_subdirectory(${ORVIK_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)

# GoogleTest's own sources get -Werror from the top-level warning options; its
# warnings are not ours to fix.
foreach(_gtest_target gtest gtest_main gmock gmock_main)
  if(TARGET ${_gtest_target})
    target_compile_options(${_gtest_target} PRIVATE -Wno-error)
  endif()
endforeach()
