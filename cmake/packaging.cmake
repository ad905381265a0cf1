# The service files, the man page and the Debian package (`cpack -G DEB` in the build directory).
# The package holds what `cmake --install` installs: the program, its pages, icon and desktop
# entry from app/, and from here the systemd unit, the service's user and the man page.
if(WIN32)
    return()
endif()
include(GNUInstallDirs)

# The unit starts the installed program by its full path.
set(PW_INSTALL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/portweave.service.in
               ${PROJECT_BINARY_DIR}/packaging/portweave.service @ONLY)
# Literal lib/: systemd looks there, never in a multiarch library directory.
install(FILES ${PROJECT_BINARY_DIR}/packaging/portweave.service
        DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/portweave.sysusers
        DESTINATION lib/sysusers.d RENAME portweave.conf)

# The man page, compressed as Debian installs man pages.
configure_file(${PROJECT_SOURCE_DIR}/packaging/portweave.1.in ${PROJECT_BINARY_DIR}/packaging/portweave.1
               @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/portweave.1.gz
                   COMMAND gzip -9 -n -f -k ${PROJECT_BINARY_DIR}/packaging/portweave.1
                   DEPENDS ${PROJECT_BINARY_DIR}/packaging/portweave.1)
add_custom_target(pw_man_page ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/portweave.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/packaging/portweave.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME portweave)
set(CPACK_PACKAGE_VENDOR Portweave)
set(PW_PACKAGE_MAINTAINER "Portweave maintainers <maintainers@portweave.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${PW_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-to-IP bridge with a service mode")
set(CPACK_PACKAGE_DESCRIPTION
    "Portweave joins serial ports and IPv4 endpoints (TCP client, TCP server, UDP)\n\
in pairs called links and moves the bytes between the two ports of each link.\n\
It runs as a desktop application or, without any window, as the systemd\n\
service portweave.service.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries the program links (Qt 6, the C++ runtime) from dpkg-shlibdeps; procps for the
# unit's reload command (/bin/kill).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS procps)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The package installs where the build was configured to install, since the program and the unit
# carry paths of that prefix; packaging/cpack_checks.cmake refuses anything but /usr for DEB.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_checks.cmake)
include(CPack)
