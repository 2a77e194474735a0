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
install(TARGETS tarvix-relayd tarvixctl tarvix-bus-sim tarvix-send RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-tarvix-relay.conf DESTINATION lib/sysctl.d COMPONENT relay)
# The alert rules for the status server's metrics, for Prometheus' rule_files.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/prometheus/tarvix-alerts.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvix/prometheus COMPONENT relay)
# bash completes tarvixctl's commands and options from here (loaded on demand).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvixctl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tarvixctl COMPONENT relay)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/wireshark/tarvix.lua
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvix/wireshark COMPONENT relay)

install(TARGETS tarvix-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvix-server.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvix-server.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT gui)

# Manual pages and the changelog go compressed, as Debian wants them; -n
# leaves out the name and time, so that a rebuild gives the same bytes.
# The changelog is that of a native package (the project packages itself):
# changelog.gz, not changelog.Debian.gz. Each package has its own copy of
# the copyright file and the changelog in its own doc folder.
find_program(TARVIX_GZIP gzip REQUIRED)
set(tarvix_compressed_dir ${PROJECT_BINARY_DIR}/packaging/compressed)
set(tarvix_compressed)
function(tarvix_compress source)
  get_filename_component(name ${source} NAME)
  set(output ${tarvix_compressed_dir}/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/${source} ${tarvix_compressed_dir}/${name}
    COMMAND ${TARVIX_GZIP} -9nf ${tarvix_compressed_dir}/${name}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/${source}
    COMMENT "Compressing packaging/${source}" VERBATIM)
  set(tarvix_compressed ${tarvix_compressed} ${output} PARENT_SCOPE)
endfunction()
foreach(entry tarvix-relayd.8:relay tarvixctl.1:relay tarvix-send.1:relay tarvix-bus-sim.1:relay tarvix-server.1:gui)
  string(REGEX MATCH "^[^:]+" page ${entry})
  string(REGEX MATCH "[^:]+$" component ${entry})
  string(REGEX MATCH "[0-9]$" section ${page})
  tarvix_compress(man/${page})
  install(FILES ${tarvix_compressed_dir}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
tarvix_compress(debian/changelog)
add_custom_target(tarvix-compressed-docs ALL DEPENDS ${tarvix_compressed})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${tarvix_compressed_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvix-relay COMPONENT relay)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${tarvix_compressed_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvix-relay-gui COMPONENT gui)

# The units name the program by its installed path and the settings where
# they are installed: in /etc when the prefix is /usr (the package's) and
# in PREFIX/etc otherwise; both depend on the prefix given when installing,
# so they are worked out then. file(INSTALL) puts DESTDIR in front by
# itself.
install(CODE "
  set(tarvix_packaging \"${PROJECT_SOURCE_DIR}/packaging\")
  set(tarvix_configured \"${PROJECT_BINARY_DIR}/packaging/configured\")
  set(tarvix_bindir \"${CMAKE_INSTALL_BINDIR}\")" COMPONENT relay)
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(TARVIX_ETC /etc)
  else()
    set(TARVIX_ETC "${CMAKE_INSTALL_PREFIX}/etc")
  endif()
  set(TARVIX_BINDIR "${CMAKE_INSTALL_PREFIX}/${tarvix_bindir}")
  foreach(name tarvix-relay.service tarvix-relay@.service bus.conf.example)
    configure_file("${tarvix_packaging}/${name}.in" "${tarvix_configured}/${name}" @ONLY)
  endforeach()
  file(INSTALL "${tarvix_configured}/tarvix-relay.service" "${tarvix_configured}/tarvix-relay@.service"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  file(INSTALL "${tarvix_packaging}/tarvix-relay.default" DESTINATION "${TARVIX_ETC}/default" RENAME tarvix-relay)
  file(INSTALL "${tarvix_configured}/bus.conf.example" DESTINATION "${TARVIX_ETC}/tarvix")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${TARVIX_ETC}/tarvix/ports")
  message(STATUS "Installing: $ENV{DESTDIR}${TARVIX_ETC}/tarvix/ports")
]] COMPONENT relay)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvix-relay)
set(CPACK_PACKAGE_VENDOR "Tarvix")
set(CPACK_PACKAGE_CONTACT "Tarvix relay maintainers <relay@tarvix.invalid>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Both come from one build, whose changelog both carry.
set(CPACK_DEBIAN_PACKAGE_SOURCE tarvix-relay)
# Binaries without symbols, as Debian ships them (the strip step of
# install(TARGETS) rules).
set(CPACK_STRIP_FILES ON)
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
The relay takes request datagrams from UDP clients, each naming where its
answer must go and carrying a serial frame, puts the frames on one RS485
bus one at a time, waits for each device's reply (resending after every
time-out) and sends the reply by UDP to the endpoint that asked.

This package holds the relay without a window, tarvix-relayd, which links
no window library, as the systemd service tarvix-relay.service, and the
template tarvix-relay@.service for one relay per bus on a box with several
adapters, with tarvixctl, which commands a running relay through its
control socket (stoploop, the reply time-out, traces, the port) and shows
its traffic live. It also holds the request client tarvix-send and the bus
simulator tarvix-bus-sim, which plays devices on a pseudo-terminal.")
# The maintainer scripts make the service's user (with adduser); the
# settings files are the operator's and survive upgrades. The libraries
# found by dpkg-shlibdeps are added to this; the status server's HTTP
# library is loaded when --status asks for it, not linked, so it is named here.
set(TARVIX_HTTP_LIBRARY_PACKAGE "libmicrohttpd12 (>= 0.9.50)")
set(CPACK_DEBIAN_RELAY_PACKAGE_DEPENDS "adduser, ${TARVIX_HTTP_LIBRARY_PACKAGE}")
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_GUI_PACKAGE_NAME tarvix-relay-gui)
set(CPACK_DEBIAN_GUI_DESCRIPTION
    "RS485 relay between UDP clients and a serial bus, with a window
The relay takes request datagrams from UDP clients, each naming where its
answer must go and carrying a serial frame, puts the frames on one RS485
bus one at a time and sends each device's reply by UDP to the endpoint
that asked.

This package holds the window program tarvix-server: the same relay as
tarvix-relayd, with its debug log, the queue of each endpoint and the
packet counters on screen, a port dialog and the \"stoploop\" button that
ends the resending of a request. Without a display it runs headless.")
# The Qt runtime comes from shlibdeps; the platform plugins Qt loads at run
# time are named here. The window program runs on its own, so the service
# and the tools are only recommended: who wants the window alone can leave
# out the system user and the service (--no-install-recommends).
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "qt6-qpa-plugins, ${TARVIX_HTTP_LIBRARY_PACKAGE}")
set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS "tarvix-relay (= ${PROJECT_VERSION})")
include(CPack)
