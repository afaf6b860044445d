# The Debian packages, made by CPack from the install components:
#   libtrhsm0  (component libs)     the shared libraries, named after the soname as Debian names
#                                   library packages; a shlibs file and the ldconfig trigger
#   trhsm      (component runtime)  the tools and their manual pages
#   trhsm-dev  (component dev)      headers, CMake package, pkg-config file, library links
# Each package carries its copyright file and changelog under /usr/share/doc/<package>/.
set(TRHSM_DEB_RELEASE 1)
set(TRHSM_DEB_VERSION ${PROJECT_VERSION}-${TRHSM_DEB_RELEASE})
set(TRHSM_LIBS_PACKAGE libtrhsm${PROJECT_VERSION_MAJOR})

set(TRHSM_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
configure_file(${TRHSM_DEBIAN_DIR}/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
trhsm_gzip_file(${PROJECT_BINARY_DIR}/debian/changelog.Debian
  ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz trhsm_compressed_docs)
add_custom_target(trhsm_docs ALL DEPENDS ${trhsm_compressed_docs})

set(trhsm_deb_components libs dev)
set(trhsm_deb_packages ${TRHSM_LIBS_PACKAGE} trhsm-dev)
if(TRHSM_BUILD_TOOLS)
  list(APPEND trhsm_deb_components runtime)
  list(APPEND trhsm_deb_packages trhsm)
endif()
# These files belong to the packages only: a plain `cmake --install` (all components) leaves them
# out, while CPack installs each component by name and so takes them in.
foreach(component package IN ZIP_LISTS trhsm_deb_components trhsm_deb_packages)
  install(FILES ${TRHSM_DEBIAN_DIR}/copyright ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  # The packages are not uploaded to Debian, so their first changelog entry closes no
  # intent-to-package bug.
  file(WRITE ${PROJECT_BINARY_DIR}/debian/lintian/${package}
    "# Built outside Debian's archive: there is no intent-to-package bug to close.\n"
    "${package}: initial-upload-closes-no-bugs\n")
  install(FILES ${PROJECT_BINARY_DIR}/debian/lintian/${package}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trhsm)
set(CPACK_PACKAGE_VENDOR "trhsm developers")
set(CPACK_PACKAGE_CONTACT "trhsm developers <dev@trhsm.invalid>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${trhsm_deb_components})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TRHSM_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE trhsm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies on the system's libraries come from dpkg-shlibdeps; ours are stated below, since
# the library package is built in the same run and dpkg knows nothing of it yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/platform)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# CPack would also call ldconfig from maintainer scripts; the trigger does that work instead.
set(CPACK_POST_BUILD_SCRIPTS ${TRHSM_DEBIAN_DIR}/drop_ldconfig_scripts.cmake)

set(CPACK_DEBIAN_LIBS_PACKAGE_NAME ${TRHSM_LIBS_PACKAGE})
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${TRHSM_DEBIAN_DIR}/triggers)
set(CPACK_DEBIAN_LIBS_DESCRIPTION
  "common logic of hierarchical storage management jobs (libraries)
trhsm holds what every hierarchical storage management job of a Linux backup
client needs: the self-checking stub record that replaces a backed-up file and
its codec, the job's command line, the collect files passed between phases,
the stub cache, the list of migrated directory trees, reporting to the job
manager and timing counters.

This package holds the shared libraries: libtrhsm, and libtrhsm_platform, which
stands in for the backup client's base libraries.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME trhsm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${TRHSM_LIBS_PACKAGE} (= ${TRHSM_DEB_VERSION})")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "tools of the trhsm storage management jobs
Command-line tools built on the trhsm libraries:
 trhsm-stubjob  replaces backed-up files by stubs, releasing a file only
                when its archived copy holds it as it is now;
 trhsm-recall   brings files back from their stubs;
 trhsm-index    backs files up into the backup index and the archive;
 trhsm-stub     writes stub records and shows what stub files hold;
 trhsm-recalld  a daemon (with its systemd unit) that makes the stubs below
                chosen folders transparent: a program that opens a stub reads
                its data.
Each tool has a manual page.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME trhsm-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${TRHSM_LIBS_PACKAGE} (= ${TRHSM_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "development files of the trhsm storage management libraries
Everything needed to build a hierarchical storage management job against the
trhsm libraries: the public headers (one header, trhsm/trhsm.h, brings them
all), the CMake package (find_package(trhsm), target trhsm::trhsm), the
pkg-config file trhsm.pc and the unversioned library links.")

include(CPack)
