# Fixed paths of the installed system. The defaults are the real paths; test builds
# (NV_TEST_PATHS=ON) point them into the build tree so that no test touches the system.
if(NV_TEST_PATHS)
  set(_nv_root "${CMAKE_BINARY_DIR}/stage")
else()
  set(_nv_root "")
endif()

set(NV_INSTALL_DIR "${_nv_root}/opt/TOLLAN/velstra" CACHE PATH "Install directory of the daemon")
set(NV_PROGRAM_NAME "NorrimVelstraSvc" CACHE STRING "Program file name of the daemon")
set(NV_CREDENTIAL_FILE_NAME "vexwssc.dat" CACHE STRING "Enciphered credential file, inside the install directory")
set(NV_ROOT_CERT_FILE_NAME "vexrootcert.cer" CACHE STRING "Root CA certificate file, inside the install directory")
set(NV_MODULE_PATH "${_nv_root}/usr/share/Quarn/Velstra/velstra/libVelstraClient.so" CACHE FILEPATH "Native client module")
set(NV_PRIVATE_LIB_DIR "${NV_INSTALL_DIR}/lib" CACHE PATH "Private library directory (TLS compatibility libraries)")
# The package's system-wide autostart entry (it runs the installation switch at a user's first
# login; the user's own entry of the same name hides it from then on) and the copy the package
# keeps of it.
set(NV_SYSTEM_AUTOSTART_DIR "${_nv_root}/etc/xdg/autostart" CACHE PATH "System XDG autostart directory")
set(NV_PACKAGE_DATA_DIR "${_nv_root}/usr/share/norrim-velstra" CACHE PATH "The package's own data files")
# Where nv-doctor looks for the browsers' enterprise policies that let public sites reach this
# machine's loopback addresses (Local Network Access): Chromium's managed policy directory and
# Firefox's system-wide policy file.
set(NV_CHROMIUM_POLICY_DIR "${_nv_root}/etc/chromium/policies/managed" CACHE PATH "Chromium's managed policy directory")
set(NV_FIREFOX_POLICY_FILE "${_nv_root}/etc/firefox/policies/policies.json" CACHE FILEPATH "Firefox's system-wide policy file")
# The diagnostics tool's file name, beside the program.
set(NV_DOCTOR_NAME "nv-doctor" CACHE STRING "Program file name of the diagnostics tool")
