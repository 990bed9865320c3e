# The Debian package: `cpack -G DEB` in a build folder after the build
# (./package.sh makes a Release build and runs it). The package installs
# under /usr; its dependencies come from dpkg-shlibdeps, which reads the
# libraries the programs link.
set(ZELVANE_PACKAGE_MAINTAINER "Quarnel Zelvane Tunnel maintainers <zelvane-tunnel@quarnel.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelvane-tunnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Quarnel)
set(CPACK_PACKAGE_CONTACT ${ZELVANE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Relay virtual serial ports to remote devices through a cloud server")
set(CPACK_PACKAGE_DESCRIPTION
    "Zelvane Tunnel joins serial-port software on this computer to remote devices
through a cloud relay. Each tunnel, configured by a tunnel key, gets a virtual
serial port; the program relays its bytes and serial settings over an
encrypted TCP connection to the cloud server. It runs as a desktop program in
the notification area, or headless as a gateway under a systemd user unit.")
# The programs write the unit at install time from the prefix they are
# installed under, so the staging install must see /usr as its prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
