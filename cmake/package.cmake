# The Debian package (make deb): the daemon under /usr, its unit, its init
# script and its configuration under /etc as the install rules place them for
# that prefix (cmake/install_service.cmake).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexlond)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(VEXLOND_MAINTAINER "The vexlond developers <vexlond@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VEXLOND_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial bus daemon on ZeroMQ command and response channels")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "vexlond puts a serial bus (RS-232, RS-422, RS-485) on two ZeroMQ message
channels, a command channel and a response channel, over TCP and IPC. The
serial port, standard input and output, an input file, a pseudo-terminal,
TCP connections and links to other vexlond daemons are bridged onto the
channels with line framing. A console on TCP port 5550 manages the links.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The library packages the programs link against, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The files under /etc and /lib go to absolute places: staged below DESTDIR,
# with /usr as the prefix of the install rules.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# dpkg keeps an administrator's changes to these across upgrades.
file(WRITE ${CMAKE_BINARY_DIR}/package/conffiles "/etc/init.d/vexlond\n/etc/vexlond.conf\n")
configure_file(${CMAKE_SOURCE_DIR}/dist/prerm ${CMAKE_BINARY_DIR}/package/prerm COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/package/conffiles ${CMAKE_BINARY_DIR}/package/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
