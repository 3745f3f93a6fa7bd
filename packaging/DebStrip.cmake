# Run by cpack on the staged files, before it makes the packages
# (CPACK_PRE_BUILD_SCRIPTS): strips them as Debian's dh_strip does, so that
# neither the programs nor the static library ship the sections nothing
# needs (.comment, .note) or debug information.
if(NOT CPACK_TEMPORARY_INSTALL_DIRECTORY OR NOT CPACK_NORV_STRIP)
  message(FATAL_ERROR "DebStrip.cmake: no staging folder or no strip program")
endif()
file(GLOB_RECURSE _programs LIST_DIRECTORIES false
  "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/usr/bin/*")
file(GLOB_RECURSE _archives LIST_DIRECTORIES false
  "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.a")
foreach(_file IN LISTS _programs _archives)
  if(_file MATCHES "\\.a$")
    set(_options --strip-debug --enable-deterministic-archives)
  else()
    set(_options --strip-unneeded)
  endif()
  execute_process(COMMAND ${CPACK_NORV_STRIP} --remove-section=.comment --remove-section=.note
      ${_options} ${_file}
    RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "DebStrip.cmake: strip ${_file} failed")
  endif()
endforeach()
