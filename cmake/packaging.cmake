# Installation and the Debian packages (cpack, from scripts/package).
#   vaxo-dt-qpl      the module in a folder of its own with its sample INI
#                    (a configuration file; the log is written beside it),
#                    the tools on the PATH, the sample host's prompts
#   vaxo-dt-qpl-dev  the header, a pkg-config file and a CMake package
#                    config, for host projects
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VAXO_MODULE_DIR /opt/vaxo-dt-qpl CACHE PATH "Folder of the installed module, its INI and its log")
set(VAXO_PACKAGE_MAINTAINER "vaxo-dt-qpl developers <vaxo-dt-qpl@vaxoboard.example>"
  CACHE STRING "Maintainer named in the Debian packages")

# The version is the header's VAXO_DRIVER_VERSION, ':' read as '.'.
file(STRINGS ${CMAKE_SOURCE_DIR}/include/vaxo_dt_qpl.h _v REGEX "^#define VAXO_DRIVER_VERSION \"")
string(REGEX REPLACE "^#define VAXO_DRIVER_VERSION \"([^\"]+)\".*" "\\1" VAXO_DRIVER_VERSION "${_v}")
string(REPLACE ":" "." VAXO_PACKAGE_VERSION "${VAXO_DRIVER_VERSION}")
if(NOT VAXO_PACKAGE_VERSION MATCHES "^[0-9]+(\\.[0-9]+)*$")
  message(FATAL_ERROR "VAXO_DRIVER_VERSION in include/vaxo_dt_qpl.h is not a dotted version: ${VAXO_DRIVER_VERSION}")
endif()
set(VAXO_DL_LIBS "")
foreach(_l ${CMAKE_DL_LIBS})
  string(APPEND VAXO_DL_LIBS "-l${_l}")
endforeach()

# The tools look for the installed module and prompts unless told otherwise.
foreach(_tool vaxo-ivr-host vaxo-diag)
  target_compile_definitions(${_tool} PRIVATE
    VAXO_DEFAULT_MODULE="${VAXO_MODULE_DIR}/vaxo-dt-qpl.dev"
    VAXO_DEFAULT_PROMPTS="${CMAKE_INSTALL_FULL_DATADIR}/vaxo-dt-qpl/prompts")
endforeach()

set(_pkg ${CMAKE_BINARY_DIR}/package)
# Compressed copy as Debian wants it: no name or time stamp inside.
function(vaxo_gzip from to)
  get_filename_component(_dir ${to} DIRECTORY)
  file(MAKE_DIRECTORY ${_dir})
  execute_process(COMMAND gzip -9nc ${from} OUTPUT_FILE ${to} RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${from}")
  endif()
endfunction()

# Runtime package.
install(TARGETS vaxo_module LIBRARY DESTINATION ${VAXO_MODULE_DIR} COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/core/vaxo-dt-qpl.ini DESTINATION ${VAXO_MODULE_DIR} COMPONENT runtime)
install(TARGETS vaxo-ivr-host vaxo-diag hdlc2pcap vaxo-cardsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT runtime)
foreach(_tool vaxo-ivr-host vaxo-diag hdlc2pcap vaxo-cardsim)
  vaxo_gzip(${CMAKE_SOURCE_DIR}/docs/man/${_tool}.1 ${_pkg}/man/${_tool}.1.gz)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${_tool}.1)
  install(FILES ${_pkg}/man/${_tool}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endforeach()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/host/prompts/ DESTINATION ${CMAKE_INSTALL_DATADIR}/vaxo-dt-qpl/prompts
  COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/package/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vaxo-dt-qpl COMPONENT runtime)

# Development package.
install(FILES ${CMAKE_SOURCE_DIR}/include/vaxo_dt_qpl.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vaxo-dt-qpl
  COMPONENT dev)
configure_file(${CMAKE_SOURCE_DIR}/cmake/package/vaxo-dt-qpl.pc.in ${_pkg}/vaxo-dt-qpl.pc @ONLY)
install(FILES ${_pkg}/vaxo-dt-qpl.pc DESTINATION ${CMAKE_INSTALL_DATADIR}/pkgconfig COMPONENT dev)
configure_file(${CMAKE_SOURCE_DIR}/cmake/package/vaxo-dt-qplConfig.cmake.in ${_pkg}/vaxo-dt-qplConfig.cmake @ONLY)
write_basic_package_version_file(${_pkg}/vaxo-dt-qplConfigVersion.cmake VERSION ${VAXO_PACKAGE_VERSION}
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${_pkg}/vaxo-dt-qplConfig.cmake ${_pkg}/vaxo-dt-qplConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_DATADIR}/cmake/vaxo-dt-qpl COMPONENT dev)

# Debian's documentation files: copyright and a compressed changelog
# (dated by SOURCE_DATE_EPOCH when it is set, so packages are reproducible).
string(TIMESTAMP VAXO_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP VAXO_PACKAGE_YEAR "%Y" UTC)
foreach(_c runtime dev)
  set(VAXO_DEB_NAME vaxo-dt-qpl)
  if(_c STREQUAL dev)
    set(VAXO_DEB_NAME vaxo-dt-qpl-dev)
  endif()
  set(_doc ${_pkg}/doc-${_c})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/package/copyright.in ${_doc}/copyright @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/package/changelog.in ${_doc}/changelog @ONLY)
  vaxo_gzip(${_doc}/changelog ${_doc}/changelog.gz)
  install(FILES ${_doc}/copyright ${_doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${VAXO_DEB_NAME}
    COMPONENT ${_c})
endforeach()
file(WRITE ${_pkg}/conffiles "${VAXO_MODULE_DIR}/vaxo-dt-qpl.ini\n")
configure_file(${CMAKE_SOURCE_DIR}/cmake/package/postrm.in ${_pkg}/postrm @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vaxo-dt-qpl)
set(CPACK_PACKAGE_VERSION ${VAXO_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${VAXO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME vaxo-dt-qpl)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_pkg}/conffiles ${_pkg}/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "E1 driver module for IVR hosts
The driver module vaxo-dt-qpl.dev that an IVR host loads to answer and
place calls on E1 lines through interface cards on the local Ethernet
(ISDN PRI signalling, A-law audio, DTMF detection, echo cancellation).
It is installed in ${VAXO_MODULE_DIR} with its sample INI; its trace log
is written there too. Also the sample IVR host, the diagnostics tool,
the D-channel capture converter and the card simulator.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME vaxo-dt-qpl-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "vaxo-dt-qpl (= ${VAXO_PACKAGE_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "E1 driver module for IVR hosts - development files
The C header of the vaxo-dt-qpl driver module, with a pkg-config file
and a CMake package config through which host projects find it. Hosts
load the module at run time; nothing is linked.")
include(CPack)
