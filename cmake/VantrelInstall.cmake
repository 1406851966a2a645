# Install rule and CMake package for the library targets (vantrel::platform, vantrel::socket,
# vantrel::http). Targets register themselves in the VANTREL_EXPORTED_TARGETS global property.
include(CMakePackageConfigHelpers)
get_property(_vantrel_targets GLOBAL PROPERTY VANTREL_EXPORTED_TARGETS)
if(_vantrel_targets)
  install(TARGETS ${_vantrel_targets}
          EXPORT VantrelTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantrel
          FILE_SET system_headers DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantrel)
  install(EXPORT VantrelTargets NAMESPACE vantrel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vantrel)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VantrelConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/VantrelConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vantrel)
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VantrelConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VantrelConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/VantrelConfigVersion.cmake
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vantrel)
endif()
