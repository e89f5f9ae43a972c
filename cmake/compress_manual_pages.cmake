# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) once the files are staged and before
# the package is made: compresses every manual page of a Debian package with
# gzip, as Debian policy expects (maximum compression, no name or time stamp
# in the header, so that the same page always gives the same bytes).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

find_program(gzip_program gzip REQUIRED)
file(GLOB_RECURSE manual_pages LIST_DIRECTORIES false
  "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man[1-9]/*")
foreach(page IN LISTS manual_pages)
  if(page MATCHES "\\.gz$")
    continue()
  endif()
  execute_process(COMMAND ${gzip_program} -9 -n -f ${page} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "Could not compress the manual page ${page}")
  endif()
endforeach()
