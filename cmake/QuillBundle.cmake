# The MCP Bundle for Claude Desktop, built with the programs: quill-mcp-<version>-<platform>.mcpb
# in the build folder, a zip of manifest.json, server/quill-mcp and LICENSE (cmake/MakeBundle.cmake
# makes it). Its manifest takes the version and the tools from the built quill-mcp itself, which
# must therefore run here: there is no bundle from a cross-build.
if(CMAKE_CROSSCOMPILING)
  message(STATUS "No MCP Bundle: this cross-build's quill-mcp cannot run here to list its tools")
  return()
endif()
if(APPLE)
  set(QUILL_BUNDLE_PLATFORM darwin)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(QUILL_BUNDLE_PLATFORM linux)
else()
  message(STATUS "No MCP Bundle: Claude Desktop knows no ${CMAKE_SYSTEM_NAME}")
  return()
endif()
set(QUILL_BUNDLE
    ${PROJECT_BINARY_DIR}/quill-mcp-${PROJECT_VERSION}-${QUILL_BUNDLE_PLATFORM}.mcpb)
set(QUILL_BUNDLE_TEMPLATE ${PROJECT_SOURCE_DIR}/packaging/mcpb/manifest.json.in)
add_custom_command(OUTPUT ${QUILL_BUNDLE}
  COMMAND ${CMAKE_COMMAND}
    -DPROGRAM=$<TARGET_FILE:quill-mcp> -DVERSION=${PROJECT_VERSION}
    -DPLATFORM=${QUILL_BUNDLE_PLATFORM} -DTEMPLATE=${QUILL_BUNDLE_TEMPLATE}
    -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE -DSTRIP=${CMAKE_STRIP}
    -DWORK=${PROJECT_BINARY_DIR}/mcpb -DOUTPUT=${QUILL_BUNDLE}
    -P ${CMAKE_CURRENT_LIST_DIR}/MakeBundle.cmake
  DEPENDS quill-mcp ${CMAKE_CURRENT_LIST_DIR}/MakeBundle.cmake ${QUILL_BUNDLE_TEMPLATE}
          ${PROJECT_SOURCE_DIR}/LICENSE
  COMMENT "Making the MCP Bundle ${QUILL_BUNDLE}"
  VERBATIM)
add_custom_target(quill-mcp-bundle ALL DEPENDS ${QUILL_BUNDLE})
