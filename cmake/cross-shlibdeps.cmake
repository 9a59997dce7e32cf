# Read by cpack before it builds the package of a cross build: works out the
# shared library dependencies of the target binary with dpkg-shlibdeps, which
# looks the libraries up in the cross sysroot, and names the device's own
# packages in place of the host's cross copies of them.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(work "${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}/debian")
file(WRITE "${work}/debian/control"
  "Source: ${CPACK_PACKAGE_NAME}\n\nPackage: ${CPACK_PACKAGE_NAME}\nArchitecture: any\n")
execute_process(
  COMMAND dpkg-shlibdeps -O "-l${CPACK_PELVANOR_LIBDIR}" "${CPACK_PELVANOR_BINARY}"
  WORKING_DIRECTORY "${work}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps failed on ${CPACK_PELVANOR_BINARY}:\n${out}${err}")
endif()
set(depends "${CMAKE_MATCH_1}")
string(REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}" "" depends "${depends}")
string(REPLACE "-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross" "" depends "${depends}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
message(STATUS "Dependencies of ${CPACK_PACKAGE_NAME} (${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}): ${depends}")
