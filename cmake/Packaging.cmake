# The Debian package, built by `cpack -G DEB` in a Release build tree (the
# ./package script does all of it). CPack installs under /usr.

set(CPACK_PACKAGE_NAME "sorvik")
set(CPACK_PACKAGE_VENDOR "The Sorvik developers")
set(SORVIK_PACKAGE_MAINTAINER "Sorvik maintainers <maintainers@sorvik.example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${SORVIK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "port-mapping tunnels through SOCKS and HTTP proxies and over TLS")
# The extended description; CPack puts the summary above it as the synopsis.
set(CPACK_PACKAGE_DESCRIPTION
"Sorvik relays connections: each tunnel listens on a local TCP port and
relays every connection it accepts to one fixed remote host and port,
optionally through SOCKS 4, 4A or 5 or HTTP CONNECT proxies (one hop or two)
and optionally over TLS with certificate pinning.

It has a desktop window with a log and a notification-area icon, and a
window-less mode that runs as a systemd user service.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
if(SORVIK_HOMEPAGE_URL)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${SORVIK_HOMEPAGE_URL}")
endif()
# Library dependencies come from dpkg-shlibdeps; Qt loads its platform plugins
# at run time, so the Wayland one is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "hicolor-icon-theme")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/packages")

# Debian wants a changelog beside the copyright file.
execute_process(COMMAND date -u -R -d "${SORVIK_RELEASE_DATE}" OUTPUT_VARIABLE SORVIK_RELEASE_DATE_RFC2822
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(WRITE ${CMAKE_BINARY_DIR}/changelog.Debian
"sorvik (${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}) unstable; urgency=medium

  * Sorvik ${PROJECT_VERSION}, packaged from its source tree with CPack.

 -- ${SORVIK_PACKAGE_MAINTAINER}  ${SORVIK_RELEASE_DATE_RFC2822}
")
add_custom_command(
  OUTPUT changelog.Debian.gz
  COMMAND sh -c "gzip -9n -c changelog.Debian > changelog.Debian.gz"
  DEPENDS ${CMAKE_BINARY_DIR}/changelog.Debian
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  VERBATIM)
add_custom_target(sorvik_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sorvik)

include(CPack)
