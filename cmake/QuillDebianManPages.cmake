# Run by CPack before it makes each package (CPACK_PRE_BUILD_SCRIPTS), on the files it has
# installed for it: in the .deb the manual pages are compressed as Debian wants them, with
# gzip -9n (no name or time stamp in the header). Other packages keep them as they are.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(QUILL_GZIP gzip REQUIRED)
file(GLOB_RECURSE pages ${CPACK_TEMPORARY_DIRECTORY}/*.[1-9])
list(FILTER pages INCLUDE REGEX "/share/man/man[1-9]/[^/]+$")
if(NOT pages)
  message(FATAL_ERROR "No manual pages under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(page ${pages})
  execute_process(COMMAND ${QUILL_GZIP} -9n ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
