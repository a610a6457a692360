# Makes the MCP Bundle, at build time (cmake -P): asks the built quill-mcp, as a client would, for
# its version and its tools, writes manifest.json from the template with them, and zips it with a
# stripped copy of the program and the licence.
#   -DPROGRAM=<built quill-mcp> -DVERSION=<project version> -DPLATFORM=darwin|linux
#   -DTEMPLATE=<manifest.json.in> -DLICENSE=<LICENSE> -DSTRIP=<strip, or empty>
#   -DWORK=<scratch folder> -DOUTPUT=<the .mcpb>

# A JSON string literal of `text`. Other control characters than these three stay raw, and the
# manifest then fails to parse below.
function(quill_json_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  string(REPLACE "\r" "\\r" text "${text}")
  string(REPLACE "\t" "\\t" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/bundle/server)

# Where no Quill listens and launching it is forbidden, quill-mcp answers the tool list itself.
file(WRITE ${WORK}/requests.jsonl [[
{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"quill-bundle","version":"1"}}}
{"jsonrpc":"2.0","method":"notifications/initialized"}
{"jsonrpc":"2.0","id":2,"method":"tools/list"}
]])
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env QUILL_MCP_SOCKET=${WORK}/no-quill.sock QUILL_MCP_NO_LAUNCH=1
          ${PROGRAM} --client claude-desktop
  INPUT_FILE ${WORK}/requests.jsonl OUTPUT_VARIABLE answers TIMEOUT 30 COMMAND_ERROR_IS_FATAL ANY)
# One answer a line, with no raw line break inside: together, one JSON array.
string(STRIP "${answers}" answers)
string(REPLACE "\n" "," answers "[${answers}]")
string(JSON shim_version GET "${answers}" 0 result serverInfo version)
if(NOT shim_version STREQUAL VERSION)
  message(FATAL_ERROR "quill-mcp reports version ${shim_version}, the project is at ${VERSION}")
endif()
string(JSON count LENGTH "${answers}" 1 result tools)
if(count LESS 1)
  message(FATAL_ERROR "quill-mcp lists no tools: ${answers}")
endif()
math(EXPR last "${count} - 1")
set(TOOLS "")
foreach(i RANGE ${last})
  string(JSON name GET "${answers}" 1 result tools ${i} name)
  string(JSON description GET "${answers}" 1 result tools ${i} description)
  quill_json_string(name "${name}")
  quill_json_string(description "${description}")
  if(i GREATER 0)
    string(APPEND TOOLS ",\n")
  endif()
  string(APPEND TOOLS "    {\n      \"name\": ${name},\n      \"description\": ${description}\n    }")
endforeach()

configure_file(${TEMPLATE} ${WORK}/bundle/manifest.json @ONLY)
file(READ ${WORK}/bundle/manifest.json manifest)
string(JSON entry_point GET "${manifest}" server entry_point)

file(COPY_FILE ${PROGRAM} ${WORK}/bundle/${entry_point})
if(STRIP)
  # As CMake strips an installed program: on macOS keeping what the dynamic linker needs.
  if(PLATFORM STREQUAL "darwin")
    set(options -u -r)
  endif()
  execute_process(COMMAND ${STRIP} ${options} ${WORK}/bundle/${entry_point}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
file(COPY_FILE ${LICENSE} ${WORK}/bundle/LICENSE)
# The host unpacks the program with the Unix modes the zip records, whatever the umask was here.
file(CHMOD ${WORK}/bundle/${entry_point} PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(CHMOD ${WORK}/bundle/manifest.json ${WORK}/bundle/LICENSE PERMISSIONS
     OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# libarchive's zip writer keeps those modes; entries for the files alone, no folders.
file(REMOVE ${OUTPUT})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT} --format=zip manifest.json ${entry_point} LICENSE
  WORKING_DIRECTORY ${WORK}/bundle COMMAND_ERROR_IS_FATAL ANY)
