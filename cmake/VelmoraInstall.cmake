# What `cmake --install` and the Debian packages put where. Under a prefix
# such as /usr (<libdir> is lib/<multiarch> there):
#   <libdir>/velmora/              the program Velmora, libApplication.so.N,
#                                  SkinResource/ and plugins/ (with config.json)
#   bin/velmora                    a relative symlink to the program
#   include/velmora/               the public headers (Application/, Tools/)
#   <libdir>/cmake/Application/    the CMake package, with velmora_add_plugin
#   <libdir>/pkgconfig/velmora.pc
#   share/applications, share/icons, share/man, share/doc
# The program finds its library through its run path ($ORIGIN) and its skins
# and plugins beside its own file (/proc/self/exe, which the symlink does not
# hide), so it runs from any directory without LD_LIBRARY_PATH.
# Component "runtime" makes the package velmora, "dev" velmora-dev.
include(CMakePackageConfigHelpers)

set(velmora_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Application)
set(velmora_include_dir ${CMAKE_INSTALL_INCLUDEDIR}/velmora)

install(TARGETS Application EXPORT ApplicationTargets
  LIBRARY DESTINATION ${VELMORA_INSTALL_APPDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(DIRECTORY include/Application include/Tools
  DESTINATION ${velmora_include_dir} COMPONENT dev)
install(EXPORT ApplicationTargets
  NAMESPACE Application::
  DESTINATION ${velmora_cmake_dir} COMPONENT dev)

configure_package_config_file(cmake/ApplicationConfig.cmake.in
  ${CMAKE_BINARY_DIR}/ApplicationConfig.cmake
  INSTALL_DESTINATION ${velmora_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ApplicationConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/ApplicationConfig.cmake
  ${CMAKE_BINARY_DIR}/ApplicationConfigVersion.cmake
  cmake/VelmoraPlugin.cmake
  DESTINATION ${velmora_cmake_dir} COMPONENT dev)

# pkg-config paths are written from ${prefix}, so PKG_CONFIG_SYSROOT_DIR can
# point them into an unpacked tree.
configure_file(cmake/velmora.pc.in ${CMAKE_BINARY_DIR}/velmora.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/velmora.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Changelog and man page go out compressed the way Debian wants them: gzip -9,
# without a time stamp (-n), so that two builds give the same bytes. Done at
# configure time: configure_file makes an edit of either re-run it.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
configure_file(packaging/changelog ${CMAKE_BINARY_DIR}/packaging/changelog COPYONLY)
execute_process(COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog
  OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
# Each package carries its own copyright and changelog.
foreach(pair runtime:velmora dev:velmora-dev)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

if(NOT TARGET Velmora)
  return()
endif()

# The demo plugins and their configuration: the installed program starts them.
install(TARGETS DemoWindow echo_plugin SampleProcess
  LIBRARY DESTINATION ${VELMORA_INSTALL_APPDIR}/plugins COMPONENT runtime
  RUNTIME DESTINATION ${VELMORA_INSTALL_APPDIR}/plugins COMPONENT runtime)
install(FILES examples/plugins/config.json
  DESTINATION ${VELMORA_INSTALL_APPDIR}/plugins COMPONENT runtime)

# bin/velmora -> ../<libdir>/velmora/Velmora; file(INSTALL) copies the link as a link.
file(RELATIVE_PATH velmora_link_target ${CMAKE_INSTALL_FULL_BINDIR}
  ${CMAKE_INSTALL_PREFIX}/${VELMORA_INSTALL_APPDIR}/Velmora)
file(CREATE_LINK ${velmora_link_target} ${CMAKE_BINARY_DIR}/packaging/velmora SYMBOLIC)
install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/velmora
  DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

install(FILES packaging/velmora.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT runtime)
install(FILES packaging/velmora.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT runtime)

# The man page, compressed like the changelog above.
set(VELMORA_MAN_APPDIR ${CMAKE_INSTALL_PREFIX}/${VELMORA_INSTALL_APPDIR})
configure_file(packaging/velmora.1.in ${CMAKE_BINARY_DIR}/packaging/velmora.1 @ONLY)
execute_process(COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/velmora.1
  OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/velmora.1.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/velmora.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
