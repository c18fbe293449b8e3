# Debian package. The package carries the project's OpenSSL compatibility libraries for CivetWeb,
# so at run time it needs libssl3, never libssl-dev. The maintainer scripts generate this machine's
# own root CA and credential file (no two installations share a key) and leave users' NSS databases
# alone on removal (removal per user is `NorrimVelstraSvc -D`).
include(GNUInstallDirs)

install(FILES ${CMAKE_SOURCE_DIR}/docs/NorrimVelstraSvc.1 DESTINATION share/man/man1 COMPONENT daemon)

# The package carries the sample module beside the program, not at the module path: dpkg would
# otherwise replace a vendor's module on every upgrade. The postinst copies it to the module path
# only when no module is there.
if(TARGET nv_sample_module)
  install(FILES $<TARGET_FILE:nv_sample_module> DESTINATION ${NV_INSTALL_DIR}/sample
          RENAME libVelstraClient.so COMPONENT package_sample)
endif()

configure_file(${CMAKE_SOURCE_DIR}/packaging/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/prerm.in ${CMAKE_BINARY_DIR}/packaging/prerm @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/postrm.in ${CMAKE_BINARY_DIR}/packaging/postrm @ONLY)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "norrim-velstra")
set(CPACK_PACKAGE_VENDOR "Norrim Velstra")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Local HTTPS/WSS server that lets web pages reach the local certificate module")
set(CPACK_PACKAGE_CONTACT "Norrim Velstra maintainers <maintainers@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libcivetweb1, libjson-c5, libssl3, libgtk-3-0, libnss3-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/packaging/postinst;${CMAKE_BINARY_DIR}/packaging/prerm;${CMAKE_BINARY_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# One package of the program, tools, compatibility libraries and manual page. The plain install's
# sample_module component (which writes straight to the module path) stays out of it.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL daemon Unspecified package_sample)
include(CPack)
