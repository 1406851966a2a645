# vantrel_add_library(<name> <alias> SOURCES ... HEADERS ...): a library of the project with its
# public headers as a file set, installed and exported as vantrel::<alias>.
function(vantrel_add_library name alias)
  cmake_parse_arguments(ARG "" "" "SOURCES;HEADERS" ${ARGN})
  add_library(${name} ${ARG_SOURCES})
  add_library(vantrel::${alias} ALIAS ${name})
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${alias} OUTPUT_NAME vantrel_${alias})
  target_sources(${name} PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR} FILES ${ARG_HEADERS})
  target_include_directories(${name} PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  vantrel_target_defaults(${name})
  vantrel_library_warnings(${name})
  set_property(GLOBAL APPEND PROPERTY VANTREL_EXPORTED_TARGETS ${name})
endfunction()
