# Installation and the Debian package: the three programs in bin/, a desktop
# entry and an icon for the relay, their manual pages, and the relay as a
# system service (unit, settings, port folder, receive-buffer limit).
include(GNUInstallDirs)
install(TARGETS tarvix-server tarvix-bus-sim tarvix-send RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvix-server.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvix-server.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/man/tarvix-server.1 ${PROJECT_SOURCE_DIR}/packaging/man/tarvix-send.1
              ${PROJECT_SOURCE_DIR}/packaging/man/tarvix-bus-sim.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-tarvix-relay.conf DESTINATION lib/sysctl.d)

# The unit names the program by its installed path, and the settings belong
# in /etc when the prefix is /usr (the package's) and in PREFIX/etc
# otherwise; both depend on the prefix given when installing, so they are
# worked out then. file(INSTALL) puts DESTDIR in front by itself.
install(CODE "
  set(tarvix_packaging \"${PROJECT_SOURCE_DIR}/packaging\")
  set(tarvix_unit \"${PROJECT_BINARY_DIR}/packaging/tarvix-relay.service\")
  set(tarvix_bindir \"${CMAKE_INSTALL_BINDIR}\")")
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
]])

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvix-relay)
set(CPACK_PACKAGE_VENDOR "Tarvix")
set(CPACK_PACKAGE_CONTACT "Tarvix relay maintainers <relay@tarvix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "RS485 relay between UDP clients and devices on one serial bus")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The package installs with the prefix /usr into a staging folder given as
# DESTDIR, so that the install step above sees /usr and puts the settings
# in /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The Qt runtime the relay links, found from the binaries, plus the
# platform plugins Qt loads at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The maintainer scripts make the service's user; the settings file is the
# operator's and survives upgrades.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
