# libpri: Debian's libpri-dev on Linux; a locally built static copy for
# the Windows cross build (VAXO_PRI_ROOT).
set(VAXO_PRI_ROOT "" CACHE PATH "Prefix of a libpri build (include/, lib/)")
if(VAXO_PRI_ROOT)
  find_path(PRI_INCLUDE_DIR libpri.h PATHS ${VAXO_PRI_ROOT}/include NO_DEFAULT_PATH)
  find_library(PRI_LIBRARY NAMES pri libpri PATHS ${VAXO_PRI_ROOT}/lib NO_DEFAULT_PATH)
else()
  find_path(PRI_INCLUDE_DIR libpri.h)
  find_library(PRI_LIBRARY NAMES pri)
endif()
if(NOT PRI_INCLUDE_DIR OR NOT PRI_LIBRARY)
  message(FATAL_ERROR "libpri not found (apt-get install libpri-dev)")
endif()
add_library(vaxo::pri INTERFACE IMPORTED)
set_target_properties(vaxo::pri PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${PRI_INCLUDE_DIR}
  INTERFACE_LINK_LIBRARIES ${PRI_LIBRARY})
