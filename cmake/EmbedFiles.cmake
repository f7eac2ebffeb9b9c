# Compiles build inputs (the firmware image, the version text) into a C++
# table, for the platforms whose executables carry no native resources.
#
#   orvik_embed_resources(<out.cpp> TYPE <type> ID <id> FILE <path> [TYPE ... ID ... FILE ...])
#
# The generated file defines orvik::EmbeddedResourceTable(). It is rebuilt when
# any embedded file changes.
set(_ORVIK_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/EmbedFilesScript.cmake)

function(orvik_embed_resources out_cpp)
  set(entries "")
  set(depends "")
  set(args ${ARGN})
  list(LENGTH args n)
  math(EXPR last "${n} - 1")
  foreach(i RANGE 0 ${last} 6)
    math(EXPR i_type "${i} + 1")
    math(EXPR i_id "${i} + 3")
    math(EXPR i_file "${i} + 5")
    list(GET args ${i_type} type)
    list(GET args ${i_id} id)
    list(GET args ${i_file} file)
    list(APPEND entries "${type}|${id}|${file}")
    list(APPEND depends "${file}")
  endforeach()
  string(REPLACE ";" "," entries_arg "${entries}")
  add_custom_command(
    OUTPUT ${out_cpp}
    COMMAND ${CMAKE_COMMAND} "-DENTRIES=${entries_arg}" "-DOUT=${out_cpp}" -P ${_ORVIK_EMBED_SCRIPT}
    DEPENDS ${depends} ${_ORVIK_EMBED_SCRIPT}
    COMMENT "Embedding resources into ${out_cpp}"
    VERBATIM)
endfunction()
