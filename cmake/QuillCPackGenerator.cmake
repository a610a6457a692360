# Read by CPack once for each generator, which CPACK_GENERATOR then names: each package is the
# shim's component and the documents of its kind (QuillInstall.cmake), in one package.
if(CPACK_GENERATOR STREQUAL "TGZ")
  list(APPEND CPACK_COMPONENTS_ALL archive-docs)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
elseif(CPACK_GENERATOR STREQUAL "DEB")
  list(APPEND CPACK_COMPONENTS_ALL debian-docs)
endif()
