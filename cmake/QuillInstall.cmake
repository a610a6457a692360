# What `cmake --install` puts where, in three components, and the package CPack makes.
#   shim  quill-mcp and quill-mcp-doctor, side by side
#   peer  quill-peer and the sample projects it serves
#   dev   the core library, its headers in include/QuillMCPCore/ and the CMake package
#         QuillMCPCore (target QuillMCPCore::QuillMCPCore) with its version file
include(CMakePackageConfigHelpers)

install(TARGETS quill-mcp quill-mcp-doctor
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT shim)
# Their manual pages, with the project's version; the .deb holds them compressed
# (QuillDebianManPages.cmake).
foreach(page quill-mcp.1 quill-mcp-doctor.1)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/man/${page}.in ${PROJECT_BINARY_DIR}/man/${page}
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT shim)
endforeach()

if(TARGET quill-peer)
  install(TARGETS quill-peer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT peer)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/projects.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/quill-mcp/examples COMPONENT peer)
endif()

set(QUILL_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QuillMCPCore)
file(GLOB QUILL_CORE_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/Sources/QuillMCPCore/*.h)
install(TARGETS QuillMCPCore EXPORT QuillMCPCoreTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${QUILL_CORE_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/QuillMCPCore COMPONENT dev)
install(EXPORT QuillMCPCoreTargets NAMESPACE QuillMCPCore::
  DESTINATION ${QUILL_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QuillMCPCoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuillMCPCoreConfig.cmake INSTALL_DESTINATION ${QUILL_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuillMCPCoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuillMCPCoreConfig.cmake
              ${PROJECT_BINARY_DIR}/QuillMCPCoreConfigVersion.cmake
  DESTINATION ${QUILL_PACKAGE_DIR} COMPONENT dev)

# What the packages hold besides the shim's component: the archive a README.md of its own and
# LICENSE beside bin/; the .deb Debian's copyright file and changelog. Neither is part of a plain
# `cmake --install`.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.tarball.md
  DESTINATION . RENAME README.md COMPONENT archive-docs EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT archive-docs EXCLUDE_FROM_ALL)
install(CODE "set(QUILL_SOURCE_DIR [[${PROJECT_SOURCE_DIR}]])
  set(QUILL_BINARY_DIR [[${PROJECT_BINARY_DIR}]])
  set(QUILL_PACKAGE quill-mcp)
  set(QUILL_VERSION ${PROJECT_VERSION})
  set(QUILL_CONTACT [[Quill developers <developers@quill.app>]])"
  COMPONENT debian-docs EXCLUDE_FROM_ALL)
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/QuillDebianDocs.cmake
  COMPONENT debian-docs EXCLUDE_FROM_ALL)

# The package carries the shim alone, under the MIT licence: a .tar.gz everywhere, which unpacks
# into one folder of its own name, and a .deb on Linux. QuillCPackGenerator.cmake adds the
# documents each needs.
set(CPACK_PACKAGE_NAME quill-mcp)
set(CPACK_PACKAGE_VENDOR Quill)
set(CPACK_PACKAGE_CONTACT "Quill developers <developers@quill.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Connects AI agents to the Quill desktop application (MCP)")
set(CPACK_PACKAGE_DESCRIPTION [[
quill-mcp is the MCP server that an AI agent's client (Claude Desktop, Claude
Code, Cursor and others) starts. Its one tool, get_context_packet, asks the
Quill desktop application for its cited briefing on one of the user's projects:
known facts with their sources, items to verify and rules not to break.
quill-mcp-doctor, beside it, tells why an agent cannot reach Quill and prints
the registration of quill-mcp for each client.]])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-shim)
set(CPACK_COMPONENTS_ALL shim)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/QuillCPackGenerator.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/QuillDebianManPages.cmake)
# After each package, SHA256SUMS and server.json (the MCP registry's entry) beside the packages,
# for the files of this version there.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/QuillReleaseFiles.cmake)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR TGZ)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_PACKAGE_NAME quill-mcp)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # Only the C library, when dpkg-shlibdeps is there to say so.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
