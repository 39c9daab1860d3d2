# Lints the man page with groff (and mandoc where present): any warning fails.
execute_process(COMMAND groff -t -man -ww -z "${MAN_PAGE}"
  RESULT_VARIABLE status ERROR_VARIABLE warnings OUTPUT_VARIABLE output)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "" OR NOT output STREQUAL "")
  message(FATAL_ERROR "groff: status ${status}\n${warnings}${output}")
endif()
find_program(MANDOC mandoc)
if(MANDOC)
  execute_process(COMMAND ${MANDOC} -Tlint -W warning "${MAN_PAGE}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE warnings)
  if(NOT status EQUAL 0 OR NOT output STREQUAL "" OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "mandoc: status ${status}\n${output}${warnings}")
  endif()
endif()
message(STATUS "man page lints clean")
