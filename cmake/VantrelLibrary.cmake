# vantrel_add_library(<name> <alias> SOURCES ... HEADERS ... [SYSTEM_DIR <dir> SYSTEM_HEADERS ...]):
# a library of the project with its public headers as a file set, installed and exported as
# vantrel::<alias>. SYSTEM_HEADERS, in SYSTEM_DIR, are the headers of the system being built for;
# they install beside the others.
function(vantrel_add_library name alias)
  cmake_parse_arguments(ARG "" "SYSTEM_DIR" "SOURCES;HEADERS;SYSTEM_HEADERS" ${ARGN})
  add_library(${name} ${ARG_SOURCES})
  add_library(vantrel::${alias} ALIAS ${name})
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${alias} OUTPUT_NAME vantrel_${alias})
  target_sources(${name} PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR} FILES ${ARG_HEADERS})
  if(ARG_SYSTEM_DIR)
    target_sources(${name} PUBLIC FILE_SET system_headers TYPE HEADERS BASE_DIRS ${ARG_SYSTEM_DIR}
                   FILES ${ARG_SYSTEM_HEADERS})
  endif()
  target_include_directories(${name} PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  vantrel_target_defaults(${name})
  vantrel_library_warnings(${name})
  set_property(GLOBAL APPEND PROPERTY VANTREL_EXPORTED_TARGETS ${name})
endfunction()
