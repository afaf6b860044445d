# Installs both libraries, the public headers under include/trhsm/, a CMake package, trhsm.pc and
# the tools' manual pages; TrhsmPackage.cmake makes the Debian packages of them.
include(CMakePackageConfigHelpers)

# Compresses `source` into `output` as Debian wants manual pages and changelogs (gzip -9n: no name
# and no time stamp inside, so the same text always gives the same bytes), and appends `output` to
# the list `list_var`.
function(trhsm_gzip_file source output list_var)
  get_filename_component(dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${output}
    DEPENDS ${source}
    VERBATIM)
  set(${list_var} ${${list_var}} ${output} PARENT_SCOPE)
endfunction()

# Components: "libs" (the two shared libraries), "runtime" (the tools and their manual pages, the
# default) and "dev" (headers, CMake package, pkg-config file and the unversioned library links).
install(TARGETS trhsm trhsm_platform
  EXPORT trhsmTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libs NAMELINK_COMPONENT dev
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

if(TRHSM_BUILD_TOOLS)
  foreach(tool trhsm-stub trhsm-index trhsm-recall trhsm-stubjob)
    trhsm_gzip_file(${PROJECT_SOURCE_DIR}/man/${tool}.1 ${PROJECT_BINARY_DIR}/man/${tool}.1.gz
      trhsm_compressed_docs)
    install(FILES ${PROJECT_BINARY_DIR}/man/${tool}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT runtime)
  endforeach()
  trhsm_gzip_file(${PROJECT_SOURCE_DIR}/man/trhsm-recalld.8
    ${PROJECT_BINARY_DIR}/man/trhsm-recalld.8.gz trhsm_compressed_docs)
  install(FILES ${PROJECT_BINARY_DIR}/man/trhsm-recalld.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
    COMPONENT runtime)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/TrhsmPackage.cmake)
