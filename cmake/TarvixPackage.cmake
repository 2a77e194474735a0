# Installation and the Debian package: the three programs in bin/, a desktop
# entry and an icon for the relay.
include(GNUInstallDirs)
install(TARGETS tarvix-server tarvix-bus-sim tarvix-send RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvix-server.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvix-server.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvix-relay)
set(CPACK_PACKAGE_VENDOR "Tarvix")
set(CPACK_PACKAGE_CONTACT "Tarvix relay maintainers <relay@tarvix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "RS485 relay between UDP clients and devices on one serial bus")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The Qt runtime the relay links, found from the binaries, plus the
# platform plugins Qt loads at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
include(CPack)
