# Writes the two files that come with a release, beside its packages: SHA256SUMS, the SHA-256 of
# each release file, and server.json, the entry of the MCP registry, which lists each MCP Bundle as
# one package to download from the GitHub release of tag v<version> of REPOSITORY (owner/name).
# The release files are the shim's archives (quill-mcp-<version>-<system>-shim.tar.gz), the .deb
# (quill-mcp_<version>_<arch>.deb) and the bundles (quill-mcp-<version>-<platform>.mcpb).
#
# Run in two ways:
# - by CPack after each package it makes (CPACK_POST_BUILD_SCRIPTS, the package preset), over the
#   files of this version in the build folder and the package just made, which is not there yet;
#   for the placeholder repository OWNER/quill-mcp;
# - by the release workflow, over the files of every platform gathered in one folder:
#     cmake -DRELEASE_DIR=<folder> -DVERSION=<version> -DREPOSITORY=<owner>/<name>
#           -P cmake/QuillReleaseFiles.cmake

# The registry's schema this entry follows, and its description (at most 100 characters).
set(schema "https://static.modelcontextprotocol.io/schemas/2025-10-17/server.schema.json")
set(description "Lets AI agents read the project memory you keep in the Quill desktop app: cited facts and rules")

if(DEFINED CPACK_PACKAGE_FILES)
  set(RELEASE_DIR ${CPACK_PACKAGE_DIRECTORY})
  set(VERSION ${CPACK_PACKAGE_VERSION})
  set(REPOSITORY OWNER/quill-mcp)
endif()
# Both end up in JSON strings and URLs unescaped: only these characters may pass.
if(NOT VERSION MATCHES "^[0-9]+(\\.[0-9]+)*$")
  message(FATAL_ERROR "Not a version: \"${VERSION}\"")
endif()
if(NOT REPOSITORY MATCHES "^([A-Za-z0-9-]+)/[A-Za-z0-9._-]+$")
  message(FATAL_ERROR "Not a GitHub repository (owner/name): \"${REPOSITORY}\"")
endif()
set(owner ${CMAKE_MATCH_1})
if(NOT IS_DIRECTORY "${RELEASE_DIR}")
  message(FATAL_ERROR "No folder of release files: \"${RELEASE_DIR}\"")
endif()

# The files by name; a package just made replaces the one of the same name found there.
file(GLOB found LIST_DIRECTORIES false "${RELEASE_DIR}/quill-mcp-${VERSION}-*-shim.tar.gz"
     "${RELEASE_DIR}/quill-mcp_${VERSION}_*.deb" "${RELEASE_DIR}/quill-mcp-${VERSION}-*.mcpb")
set(names "")
foreach(file IN LISTS found CPACK_PACKAGE_FILES)
  get_filename_component(name "${file}" NAME)
  list(APPEND names "${name}")
  set("path_${name}" "${file}")
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)

set(sums "")
set(packages "")
foreach(name IN LISTS names)
  file(SHA256 "${path_${name}}" hash)
  string(APPEND sums "${hash}  ${name}\n")
  if(name MATCHES "\\.mcpb$")
    if(packages)
      string(APPEND packages ",\n")
    endif()
    string(APPEND packages "    {
      \"registryType\": \"mcpb\",
      \"identifier\": \"https://github.com/${REPOSITORY}/releases/download/v${VERSION}/${name}\",
      \"version\": \"${VERSION}\",
      \"fileSha256\": \"${hash}\",
      \"transport\": { \"type\": \"stdio\" }
    }")
  endif()
endforeach()
if(NOT packages)
  message(FATAL_ERROR "No MCP Bundle of version ${VERSION} in ${RELEASE_DIR}")
endif()

set(server "{
  \"$schema\": \"${schema}\",
  \"name\": \"io.github.${owner}/quill-mcp\",
  \"title\": \"Quill\",
  \"description\": \"${description}\",
  \"repository\": { \"url\": \"https://github.com/${REPOSITORY}\", \"source\": \"github\" },
  \"version\": \"${VERSION}\",
  \"packages\": [
${packages}
  ]
}
")
string(JSON parsed ERROR_VARIABLE invalid GET "${server}" name)
if(invalid)
  message(FATAL_ERROR "server.json would not be JSON: ${invalid}")
endif()
file(WRITE "${RELEASE_DIR}/SHA256SUMS" "${sums}")
file(WRITE "${RELEASE_DIR}/server.json" "${server}")
message(STATUS "SHA256SUMS and server.json for ${names}")
