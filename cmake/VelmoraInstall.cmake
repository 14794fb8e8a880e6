include(CMakePackageConfigHelpers)

install(TARGETS Application EXPORT ApplicationTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/Application include/Tools
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT ApplicationTargets
  NAMESPACE Application::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Application)

configure_package_config_file(cmake/ApplicationConfig.cmake.in
  ${CMAKE_BINARY_DIR}/ApplicationConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Application)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ApplicationConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/ApplicationConfig.cmake
  ${CMAKE_BINARY_DIR}/ApplicationConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Application)
