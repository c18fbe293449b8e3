# Debian package. The package carries the project's OpenSSL compatibility libraries for CivetWeb,
# so at run time it needs libssl3, never libssl-dev. The maintainer scripts generate this machine's
# own root CA and credential file (no two installations share a key) and leave users' NSS databases
# alone on removal (removal per user is `NorrimVelstraSvc -D`).
include(GNUInstallDirs)

# Manual pages are installed compressed, as Debian's policy asks (gzip -n: no time stamp, so the
# package is reproducible).
function(nv_install_man_page page)
  get_filename_component(name ${page} NAME)
  set(gz ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${page} > ${gz}
    DEPENDS ${page} VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION share/man/man1 COMPONENT daemon)
endfunction()
nv_install_man_page(${CMAKE_SOURCE_DIR}/docs/NorrimVelstraSvc.1)
nv_install_man_page(${CMAKE_SOURCE_DIR}/docs/nv-doctor.1)

# The package's documents and its lintian override, under the package's own name.
set(NV_DEB_NAME norrim-velstra)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION share/doc/${NV_DEB_NAME} COMPONENT package_docs)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides
        RENAME ${NV_DEB_NAME} COMPONENT package_docs)

# The system autostart entry's copy; the postinst puts it in place and the postrm takes it away.
configure_file(${CMAKE_SOURCE_DIR}/packaging/system-autostart.desktop.in
               ${CMAKE_BINARY_DIR}/packaging/NorrimVelstra.desktop @ONLY)
set(NV_SYSTEM_AUTOSTART_TEMPLATE ${NV_PACKAGE_DATA_DIR}/NorrimVelstra.desktop)
install(FILES ${CMAKE_BINARY_DIR}/packaging/NorrimVelstra.desktop DESTINATION share/${NV_DEB_NAME}
        COMPONENT package_docs)

# The package carries the sample module beside the program, not at the module path: dpkg would
# otherwise replace a vendor's module on every upgrade. The postinst copies it to the module path
# only when no module is there.
install(FILES $<TARGET_FILE:nv_sample_module> DESTINATION ${NV_INSTALL_DIR}/sample
        RENAME libVelstraClient.so COMPONENT package_sample)

configure_file(${CMAKE_SOURCE_DIR}/packaging/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/postrm.in ${CMAKE_BINARY_DIR}/packaging/postrm @ONLY)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "norrim-velstra")
set(CPACK_PACKAGE_VENDOR "Norrim Velstra")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Local HTTPS/WSS server that lets web pages reach the local certificate module")
set(CPACK_PACKAGE_CONTACT "Norrim Velstra maintainers <maintainers@norrim-velstra.example>")
# CPack puts the summary on the first line and indents these lines itself (an empty line becomes
# the " ." paragraph break).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "NorrimVelstraSvc is a per-user background daemon. It serves HTTPS and secure
WebSocket on 127.0.0.1 (the first free port of 4441-4445), so that web pages
in an ordinary browser can find it and hand their requests to the native
certificate module installed on this machine.

The package issues this machine's own root CA and server certificate. At
each user's first graphical login a system autostart entry registers the
root CA in that user's NSS databases (the shared database and every Firefox
profile), writes the user's own autostart entry and starts the daemon; later
logins start the daemon from the user's entry. Connections of other local
users are refused. nv-doctor, installed beside the program, tells a user or
a help desk why a page cannot reach the daemon.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libcivetweb1, libjson-c5, libssl3, libgtk-3-0, libnss3-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/packaging/postinst;${CMAKE_BINARY_DIR}/packaging/postrm")
# The installed binaries are stripped; their debugging symbols go to a separate -dbgsym package
# (build the package with debugging information, RelWithDebInfo, for it to have any).
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# One package of the program, tools, compatibility libraries and manual page. The plain install's
# sample_module component (which writes straight to the module path) stays out of it.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL daemon Unspecified package_sample package_docs)
include(CPack)
