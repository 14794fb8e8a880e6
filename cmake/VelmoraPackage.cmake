# Debian packages with CPack (scripts/package drives it): "velmora" from the
# install component "runtime", "velmora-dev" from "dev". Configure with the
# prefix /usr for packages that belong on a Debian system.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_CONTACT "Velmora developers <maintainers@velmora.invalid>")
set(CPACK_PACKAGE_VERSION ${VELMORA_PACKAGE_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack)
# Debian wants binaries without their debugging sections in the package.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION x11)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "plugin-hosting desktop shell
Velmora is a Qt 5 desktop shell that hosts plugins: built-in ones, plugin
libraries loaded into the shell, and plugin processes that talk to it over
loopback TCP. One instance runs per user.
.
This package holds the program (the command velmora), its framework library,
the light and dark skins, and the demo plugins with their configuration.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME velmora-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "development files for Velmora plugins
Velmora is a Qt 5 desktop shell that hosts plugins: built-in ones, plugin
libraries loaded into the shell, and plugin processes that talk to it over
loopback TCP.
.
This package holds the public headers of the framework library, its CMake
package with the function velmora_add_plugin, and a pkg-config file.")
# The development files name the library of exactly this build.
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Dependencies come from dpkg-shlibdeps, as Debian's own packages get them.
# The framework library is private to the program's folder: dpkg-shlibdeps
# must look there for it, and it needs no shlibs entry of its own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)

include(CPack)
