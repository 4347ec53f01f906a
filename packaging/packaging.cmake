# Install rules (FHS) and the Debian package (./dvrlink.sh package = cpack -G DEB
# in the build folder):
#   /usr/bin/{dvrlink,dvrsim,dvrctl,dvrlink-db}, their man pages (generated
#   from --help by help2man), /etc/dvrlink/dvrlink.ini, the systemd unit,
#   the documents; /var/lib/dvrlink, /var/log/dvrlink and the dvrlink user
#   come from the package's postinst (and the unit's State/LogsDirectory).
set(DVRLINK_PACKAGING ${CMAKE_CURRENT_LIST_DIR})
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(DVRLINK_UNIT_DIR /lib/systemd/system)
else()
  set(DVRLINK_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
install(FILES ${DVRLINK_PACKAGING}/dvrlink.ini DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/dvrlink)
install(FILES ${DVRLINK_PACKAGING}/dvrlink.service DESTINATION ${DVRLINK_UNIT_DIR})
file(GLOB DVRLINK_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${DVRLINK_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/dvrlink)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/dvrlink)

# Man pages from the programs' --help and --version.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(man_dvrlink "links an access-control host to its networked DVRs")
  set(man_dvrsim "a simulated DVR speaking the DVR link protocol")
  set(man_dvrctl "client of a running dvrlink service and host workstation")
  set(man_dvrlink-db "creates, upgrades and checks the Dvrlink host database")
  set(man_dvrlink-onvif "serves the DVR link of one DVR from an ONVIF camera or recorder")
  set(pages "")
  foreach(program ${DVRLINK_PROGRAMS})
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --section=1 "--name=${man_${program}}" --output=${page} $<TARGET_FILE:${program}>
      DEPENDS ${program}
      COMMENT "Man page of ${program}")
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(man ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dvrlink)
set(CPACK_PACKAGE_VENDOR "Dvrlink")
set(CPACK_PACKAGE_CONTACT "Dvrlink maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "links an access-control host to its networked DVRs")
set(CPACK_PACKAGE_DESCRIPTION "One component instance per DVR keeps the DVR session, turns DVR alarms into host events and database rows, answers the host's workstations and keeps the DVR clocks in step. Includes the DVR simulator dvrsim, the client dvrctl and the database tool dvrlink-db.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so not found by the library scan: libpq on the first
# PostgreSQL connection, libmicrohttpd by the console, libsystemd under
# systemd; dvrlink-onvif's recorded video: RTSP, RTP, MP4 and
# the H.264 parser are GStreamer plugins.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "adduser, tzdata, libpq5, libmicrohttpd12, libsystemd0, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${DVRLINK_PACKAGING}/debian/postinst ${DVRLINK_PACKAGING}/debian/prerm
    ${DVRLINK_PACKAGING}/debian/postrm ${DVRLINK_PACKAGING}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
