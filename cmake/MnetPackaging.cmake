# Tarballs made by CPack: one of the installed tree (cpack -G TGZ, in a build directory) and one
# of the sources (cpack --config CPackSourceConfig.cmake, or the target package_source). The
# Debian packages are made by debhelper from debian/ (dpkg-buildpackage, scripts/check-debian),
# which splits the files by policy (the shared set-up apart from the library, symbols, debug
# packages, hardening); CPack makes no .deb, so there is one recipe for them.
set(CPACK_PACKAGE_NAME mnet)
set(CPACK_PACKAGE_VENDOR "libmnet")
set(CPACK_PACKAGE_CONTACT "libmnet maintainers <libmnet@lists.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR TGZ)
set(CPACK_STRIP_FILES OFF)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME mnet-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build[^/]*/" "/out/" "/obj-[^/]*/" "\\\\.swp$"
  "/compile_commands\\\\.json$")

include(CPack)
