# Installs both libraries, the public headers under include/trhsm/, a CMake package and trhsm.pc.
include(CMakePackageConfigHelpers)

# Components: "runtime" (libraries and tools, the default) and "dev" (headers, CMake package,
# pkg-config file and the unversioned library links).
install(TARGETS trhsm trhsm_platform
  EXPORT trhsmTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/trhsm platform/include/trhsm
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev
  FILES_MATCHING PATTERN "*.h")

set(TRHSM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/trhsm)
install(EXPORT trhsmTargets NAMESPACE trhsm:: DESTINATION ${TRHSM_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/trhsmConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/trhsmConfig.cmake
  INSTALL_DESTINATION ${TRHSM_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/trhsmConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trhsmConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/trhsmConfigVersion.cmake
  DESTINATION ${TRHSM_CMAKE_DIR}
  COMPONENT dev)

# The .pc file finds its prefix relative to itself, so an installed tree can be moved.
file(RELATIVE_PATH TRHSM_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(cmake/trhsm.pc.in ${CMAKE_CURRENT_BINARY_DIR}/trhsm.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trhsm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

# Debian packages: trhsm (runtime) and trhsm-dev.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trhsm)
set(CPACK_PACKAGE_VENDOR "trhsm developers")
set(CPACK_PACKAGE_CONTACT "trhsm developers <dev@trhsm.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Common logic of hierarchical storage management jobs")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME trhsm)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME trhsm-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "trhsm (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
