# Installs what Debian asks of every package in /usr/share/doc/<package>: the machine-readable
# copyright file, made from LICENSE, and the changelog of packaging/debian, whose newest entry must
# be for this version. Run at install time for the .deb's component (QuillInstall.cmake), with
# QUILL_SOURCE_DIR, QUILL_BINARY_DIR, QUILL_PACKAGE, QUILL_VERSION and QUILL_CONTACT set.
set(scratch ${QUILL_BINARY_DIR}/debian-docs)
file(MAKE_DIRECTORY ${scratch})

# The licence as one paragraph of the copyright format: its text indented by a space, empty lines
# as " .". Debian's format calls the MIT licence "Expat".
file(READ ${QUILL_SOURCE_DIR}/LICENSE licence)
string(FIND "${licence}" "Permission is hereby granted" start)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)" OR start LESS 0)
  message(FATAL_ERROR "LICENSE lacks the line \"Copyright (c) <year> <holder>\" or the MIT terms")
endif()
set(holder ${CMAKE_MATCH_1})
string(SUBSTRING "${licence}" ${start} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${scratch}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${QUILL_PACKAGE}
Upstream-Contact: ${QUILL_CONTACT}

Files: *
Copyright: ${holder}
License: Expat
 ${terms}
Comment: The MIT License.
")

# A native package (a version without a Debian revision) names it changelog.gz, compressed with
# gzip -9 and no name or time stamp in the header.
set(changelog ${QUILL_SOURCE_DIR}/packaging/debian/changelog)
file(STRINGS ${changelog} newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^${QUILL_PACKAGE} \\(([^)]+)\\)")
  message(FATAL_ERROR "${changelog} does not begin with an entry for ${QUILL_PACKAGE}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL QUILL_VERSION)
  message(FATAL_ERROR "The newest entry of ${changelog} is for ${CMAKE_MATCH_1}, the project is "
                      "at ${QUILL_VERSION}: add an entry for this version")
endif()
find_program(QUILL_GZIP gzip REQUIRED)
execute_process(COMMAND ${QUILL_GZIP} -9n -c ${changelog} OUTPUT_FILE ${scratch}/changelog.gz
                COMMAND_ERROR_IS_FATAL ANY)

file(INSTALL ${scratch}/copyright ${scratch}/changelog.gz
     DESTINATION ${CMAKE_INSTALL_PREFIX}/share/doc/${QUILL_PACKAGE}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
