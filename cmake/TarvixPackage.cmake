# Installation and the two Debian packages of one build:
#   tarvix-relay      (component relay) the relay without a window,
#                     tarvix-relayd, as a system service (unit, settings,
#                     port folder, receive-buffer limit), and the two tools;
#                     nothing in it links Qt.
#   tarvix-relay-gui  (component gui) the window program tarvix-server with
#                     its desktop entry and icon.
# Each file goes to exactly one component; a rule without one would end up
# in neither package (CPACK_COMPONENTS_ALL below).
include(GNUInstallDirs)
install(TARGETS tarvix-relayd tarvix-bus-sim tarvix-send RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/man/tarvix-send.1 ${PROJECT_SOURCE_DIR}/packaging/man/tarvix-bus-sim.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT relay)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/man/tarvix-relayd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT relay)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-tarvix-relay.conf DESTINATION lib/sysctl.d COMPONENT relay)

install(TARGETS tarvix-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvix-server.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvix-server.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT gui)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/man/tarvix-server.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)

# The unit names the program by its installed path, and the settings belong
# in /etc when the prefix is /usr (the package's) and in PREFIX/etc
# otherwise; both depend on the prefix given when installing, so they are
# worked out then. file(INSTALL) puts DESTDIR in front by itself.
install(CODE "
  set(tarvix_packaging \"${PROJECT_SOURCE_DIR}/packaging\")
  set(tarvix_unit \"${PROJECT_BINARY_DIR}/packaging/tarvix-relay.service\")
  set(tarvix_bindir \"${CMAKE_INSTALL_BINDIR}\")" COMPONENT relay)
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(tarvix_etc /etc)
  else()
    set(tarvix_etc "${CMAKE_INSTALL_PREFIX}/etc")
  endif()
  set(TARVIX_BINDIR "${CMAKE_INSTALL_PREFIX}/${tarvix_bindir}")
  configure_file("${tarvix_packaging}/tarvix-relay.service.in" "${tarvix_unit}" @ONLY)
  file(INSTALL "${tarvix_unit}" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  file(INSTALL "${tarvix_packaging}/tarvix-relay.default" DESTINATION "${tarvix_etc}/default" RENAME tarvix-relay)
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${tarvix_etc}/tarvix/ports")
  message(STATUS "Installing: $ENV{DESTDIR}${tarvix_etc}/tarvix/ports")
]] COMPONENT relay)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvix-relay)
set(CPACK_PACKAGE_VENDOR "Tarvix")
set(CPACK_PACKAGE_CONTACT "Tarvix relay maintainers <relay@tarvix.invalid>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The packages install with the prefix /usr into a staging folder given as
# DESTDIR, so that the install step above sees /usr and puts the settings
# in /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# One package per component. The settings below are per component on
# purpose: CPack falls back to the package-wide CPACK_DEBIAN_PACKAGE_DEPENDS
# and _CONTROL_EXTRA for a component that sets none, which would give the
# window's Qt plugins to the daemon and the service's scripts to the window.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL relay gui)
# The runtime libraries each package's own binaries link, found by
# dpkg-shlibdeps from that package's files only.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Each description starts with its package's own summary line; a
# package-wide CPACK_PACKAGE_DESCRIPTION_SUMMARY would be put before both.
set(CPACK_DEBIAN_RELAY_PACKAGE_NAME tarvix-relay)
set(CPACK_DEBIAN_RELAY_DESCRIPTION
    "RS485 relay between UDP clients and devices on one serial bus
The relay without a window (tarvix-relayd) as a systemd service, with the
request client tarvix-send and the bus simulator tarvix-bus-sim.")
# The maintainer scripts make the service's user; the settings file is the
# operator's and survives upgrades.
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_GUI_PACKAGE_NAME tarvix-relay-gui)
set(CPACK_DEBIAN_GUI_DESCRIPTION
    "RS485 relay between UDP clients and a serial bus, with a window
The window program tarvix-server: the same relay with its debug log, the
queue of each endpoint and the packet counters on screen.")
# The Qt runtime comes from shlibdeps; the platform plugins Qt loads at run
# time are named here. The window program runs on its own, so the service
# and the tools are only recommended: who wants the window alone can leave
# out the system user and the service (--no-install-recommends).
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS "tarvix-relay (= ${PROJECT_VERSION})")
include(CPack)
