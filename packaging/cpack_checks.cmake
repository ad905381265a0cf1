# Read by cpack once per generator. A Debian package installs under /usr, and the program (its
# help pages) and the unit (ExecStart) carry the paths of the prefix the build was configured
# with, so a build for any other prefix would make a package that looks in the wrong places.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "a Debian package needs a build configured with "
                        "-DCMAKE_INSTALL_PREFIX=/usr (this one: ${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()
