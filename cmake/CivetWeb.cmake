# Debian's CivetWeb package ships a CMake config that refers to /usr/bin/civetweb, which is not
# installed with libcivetweb-dev, so find_package(civetweb CONFIG) fails. Locate the library directly.
find_path(CIVETWEB_INCLUDE_DIR civetweb.h REQUIRED)
find_library(CIVETWEB_LIBRARY NAMES civetweb REQUIRED)
add_library(NV::civetweb UNKNOWN IMPORTED)
set_target_properties(NV::civetweb PROPERTIES
  IMPORTED_LOCATION "${CIVETWEB_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${CIVETWEB_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${CMAKE_DL_LIBS}")
