# Installs both libraries, the public headers under include/trhsm/, a CMake package and trhsm.pc.
include(CMakePackageConfigHelpers)

install(TARGETS trhsm trhsm_platform
  EXPORT trhsmTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/trhsm platform/include/trhsm
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

set(TRHSM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/trhsm)
install(EXPORT trhsmTargets NAMESPACE trhsm:: DESTINATION ${TRHSM_CMAKE_DIR})
configure_package_config_file(cmake/trhsmConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/trhsmConfig.cmake
  INSTALL_DESTINATION ${TRHSM_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/trhsmConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trhsmConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/trhsmConfigVersion.cmake
  DESTINATION ${TRHSM_CMAKE_DIR})

configure_file(cmake/trhsm.pc.in ${CMAKE_CURRENT_BINARY_DIR}/trhsm.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/trhsm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
