# `cpack -G DEB`: korvel32_<version>_<arch>.deb. Depends comes from
# dpkg-shlibdeps; the library is announced to ldconfig by a trigger.
set(KORVEL_PACKAGE_MAINTAINER "KORVEL32 maintainers <korvel32@brandmoor.example>"
    CACHE STRING "Maintainer of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KORVEL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Debian wants the copyright and a compressed changelog beside the docs.
configure_file(debian/changelog.in changelog @ONLY)
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/changelog > ${changelog}
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog)
add_custom_target(korvel_changelog ALL DEPENDS ${changelog})
install(FILES debian/copyright ${changelog} DESTINATION ${KORVEL_DOC_DIR})
