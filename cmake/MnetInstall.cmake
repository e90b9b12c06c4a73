# Installs the libraries, the public headers (include/mnet, inline parts in include/mnet/inline),
# a pkg-config file and a CMake package exporting mnet::mnet and mnet::msupt.
include(CMakePackageConfigHelpers)

set(MNET_INSTALL_LIBDIR lib)
set(MNET_INSTALL_INCLUDEDIR include/mnet)
set(MNET_INSTALL_CMAKEDIR ${MNET_INSTALL_LIBDIR}/cmake/mnet)

install(TARGETS msupt mnet EXPORT mnetTargets
  LIBRARY DESTINATION ${MNET_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${MNET_INSTALL_LIBDIR}
  RUNTIME DESTINATION bin
  INCLUDES DESTINATION ${MNET_INSTALL_INCLUDEDIR})

file(GLOB MNET_PUBLIC_HEADERS ${MNET_PUBLIC_INCLUDE_DIR}/*.hpp)
file(GLOB MNET_INLINE_HEADERS ${MNET_PUBLIC_INCLUDE_DIR}/inline/*.inl)
install(FILES ${MNET_PUBLIC_HEADERS} DESTINATION ${MNET_INSTALL_INCLUDEDIR})
install(FILES ${MNET_INLINE_HEADERS} DESTINATION ${MNET_INSTALL_INCLUDEDIR}/inline)

install(EXPORT mnetTargets NAMESPACE mnet:: DESTINATION ${MNET_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/mnetConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/mnetConfig.cmake INSTALL_DESTINATION ${MNET_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/mnetConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mnetConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/mnetConfigVersion.cmake
  DESTINATION ${MNET_INSTALL_CMAKEDIR})

# The prefix is taken from the pc file's own location, so the installed tree can be moved.
configure_file(${CMAKE_CURRENT_LIST_DIR}/mnet.pc.in ${CMAKE_CURRENT_BINARY_DIR}/mnet.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mnet.pc DESTINATION ${MNET_INSTALL_LIBDIR}/pkgconfig)
