# Packages made by CPack from an installed build: Debian packages (cpack -G DEB), one per
# component, and tarballs of the installed tree (cpack -G TGZ) and of the sources
# (cpack --config CPackSourceConfig.cmake, or the target package_source).
#   libmnet1     the two libraries, the tmpfiles.d and sysusers.d entries; its postinst makes
#                the group mirel and the shared-service directory
#   libmnet-dev  headers, link names, pkg-config and CMake files
#   mnet         the mnet tool with its manual page and bash completion
# A package meant for /usr is best made from a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr, whose libraries go to the multiarch directory.
set(CPACK_PACKAGE_NAME mnet)
set(CPACK_PACKAGE_VENDOR "libmnet")
set(CPACK_PACKAGE_CONTACT "libmnet maintainers <mnet@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_COMPONENTS_ALL runtime development)
if(MNET_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
set(CPACK_STRIP_FILES OFF)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME mnet-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build[^/]*/" "/out/" "\\\\.swp$" "/compile_commands\\\\.json$")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^i.86$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
# The packages depend on each other as their components do (the tool and the development files
# on the libraries, in this very version). dpkg-shlibdeps (dpkg-dev) names the C and C++
# libraries that the libraries need, in the versions this build needs (not for a cross build,
# whose libraries it cannot place); the tool's own needs are the same ones, and it cannot look
# into the library package, which is made beside it.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
find_program(MNET_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(MNET_DPKG_SHLIBDEPS AND NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libstdc++6")
endif()
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libc6, libstdc++6")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libmnet1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Typed IPC connections, servers and notification callbacks\nlibmnet carries one typed, big-endian value protocol over local endpoints, TCP, UDP and\nmemory buffers, with servers that hand out connections and a callback sink that receives\nasynchronous notifications. This package holds libmnet.so.1 and its support library\nlibmsupt.so.1, and makes the group mirel and the shared-service directory of local\nendpoints.")
# A Debian package installs below /usr (CPack's default for DEB; the tarball has no prefix).
set(MNET_PACKAGE_TMPFILES /usr/${MNET_INSTALL_TMPFILESDIR}/mnet.conf)
set(MNET_PACKAGE_SYSUSERS /usr/${MNET_INSTALL_SYSUSERSDIR}/mnet.conf)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/runtime/postinst @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/packaging/runtime/postinst)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmnet-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Development files of libmnet\nHeaders (include/mnet), link names, a pkg-config file (mnet) and a CMake package\n(find_package(mnet), targets mnet::mnet and mnet::msupt).")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME mnet)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "Command-line companion of libmnet\nmnet listens for notifications, sends them, and shows them travel over every transport.")

include(CPack)
