# Installs the libraries, the public headers (include/mnet, inline parts in include/mnet/inline),
# a pkg-config file, a CMake package exporting mnet::mnet and mnet::msupt, and the tmpfiles.d and
# sysusers.d entries that make the shared-service directory. The directories are the GNU ones
# (CMAKE_INSTALL_LIBDIR and friends). Components: runtime (the libraries and the two entries),
# development (headers, link names, pkg-config and CMake files) and tool (tools/mnet).
include(CMakePackageConfigHelpers)

set(MNET_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/mnet)
set(MNET_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/mnet)
set(MNET_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# systemd reads these below /usr/lib and /usr/local/lib, never below a multiarch directory.
set(MNET_INSTALL_TMPFILESDIR lib/tmpfiles.d CACHE STRING "Where the tmpfiles.d entry goes")
set(MNET_INSTALL_SYSUSERSDIR lib/sysusers.d CACHE STRING "Where the sysusers.d entry goes")

install(TARGETS msupt mnet EXPORT mnetTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${MNET_INSTALL_INCLUDEDIR})

file(GLOB MNET_PUBLIC_HEADERS ${MNET_PUBLIC_INCLUDE_DIR}/*.hpp)
file(GLOB MNET_INLINE_HEADERS ${MNET_PUBLIC_INCLUDE_DIR}/inline/*.inl)
install(FILES ${MNET_PUBLIC_HEADERS} ${MNET_GENERATED_INCLUDE_DIR}/MnetVersion.hpp
  DESTINATION ${MNET_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES ${MNET_INLINE_HEADERS} DESTINATION ${MNET_INSTALL_INCLUDEDIR}/inline
  COMPONENT development)

install(EXPORT mnetTargets NAMESPACE mnet:: DESTINATION ${MNET_INSTALL_CMAKEDIR}
  COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/mnetConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/mnetConfig.cmake INSTALL_DESTINATION ${MNET_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/mnetConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mnetConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/mnetConfigVersion.cmake
  DESTINATION ${MNET_INSTALL_CMAKEDIR} COMPONENT development)

# The pc file finds the prefix from its own location, so the installed tree can be moved (or
# unpacked anywhere); an absolute directory given for CMAKE_INSTALL_LIBDIR or _INCLUDEDIR is
# written as it is.
function(mnet_pc_path variable directory)
  if(IS_ABSOLUTE "${directory}")
    set(${variable} "${directory}" PARENT_SCOPE)
  else()
    set(${variable} "\${prefix}/${directory}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(MNET_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH MNET_PC_TO_PREFIX /root/${MNET_INSTALL_PKGCONFIGDIR} /root)
  set(MNET_PC_PREFIX "\${pcfiledir}/${MNET_PC_TO_PREFIX}")
endif()
mnet_pc_path(MNET_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
mnet_pc_path(MNET_PC_INCLUDEDIR "${MNET_INSTALL_INCLUDEDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/mnet.pc.in ${CMAKE_CURRENT_BINARY_DIR}/mnet.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mnet.pc DESTINATION ${MNET_INSTALL_PKGCONFIGDIR}
  COMPONENT development)

# The group mirel, and the shared-service directory: root's, mode 1770, group mirel.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/mnet-sysusers.conf
  DESTINATION ${MNET_INSTALL_SYSUSERSDIR} RENAME mnet.conf COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/mnet-tmpfiles.conf
  DESTINATION ${MNET_INSTALL_TMPFILESDIR} RENAME mnet.conf COMPONENT runtime)
