# Install layout and Debian packages.
#
# `cmake --install` (honouring DESTDIR and CMAKE_INSTALL_PREFIX) puts the
# binary in sbin/ (a root-only system tool, installed by the top-level list),
# the boot files where cmake/boot.cmake says, the manual page in
# share/man/man8/, and the copyright file and changelog in share/doc/pelvanor/.
# `cpack` in a build configured with the prefix /usr (as the presets are)
# turns the same layout into pelvanor_<version>_<arch>.deb: amd64 from the
# native build, powerpc from the cross build. Other targets install but are
# not packaged.
include(GNUInstallDirs)

# The manual page and the changelog, compressed as Debian ships them and
# without a timestamp, so the package is the same from one build to the next.
# The changelog is in Debian's format, as a native package's
# share/doc/pelvanor/changelog.gz must be; beside it, the copyright file says
# that no license has been chosen yet. Every install gets them, not only the
# packages: an image build system files them as documentation.
set(PELVANOR_MANPAGE "${PROJECT_SOURCE_DIR}/man/pelvanor.8")
set(PELVANOR_CHANGELOG "${CMAKE_CURRENT_LIST_DIR}/debian/changelog")
add_custom_command(
  OUTPUT "${PROJECT_BINARY_DIR}/pelvanor.8.gz" "${PROJECT_BINARY_DIR}/changelog.gz"
  COMMAND gzip -9n -c "${PELVANOR_MANPAGE}" > "${PROJECT_BINARY_DIR}/pelvanor.8.gz"
  COMMAND gzip -9n -c "${PELVANOR_CHANGELOG}" > "${PROJECT_BINARY_DIR}/changelog.gz"
  DEPENDS "${PELVANOR_MANPAGE}" "${PELVANOR_CHANGELOG}"
  COMMENT "Compressing the manual page and the changelog"
  VERBATIM)
add_custom_target(docs ALL
  DEPENDS "${PROJECT_BINARY_DIR}/pelvanor.8.gz" "${PROJECT_BINARY_DIR}/changelog.gz")
install(FILES "${PROJECT_BINARY_DIR}/pelvanor.8.gz"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
install(FILES "${CMAKE_CURRENT_LIST_DIR}/debian/copyright" "${PROJECT_BINARY_DIR}/changelog.gz"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# Debian packages, for the targets whose Debian architecture is known: the
# host's natively, 32-bit PowerPC (the device) in a cross build.
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(powerpc|ppc)$")
    set(PELVANOR_DEB_ARCH powerpc)
  endif()
else()
  execute_process(COMMAND dpkg --print-architecture
    OUTPUT_VARIABLE PELVANOR_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT PELVANOR_DEB_ARCH)
  message(STATUS "No Debian package: no Debian architecture known for "
    "${CMAKE_SYSTEM_PROCESSOR} (cmake --install works as usual)")
  return()
endif()
# A package installs under /usr; the boot files name the binary by its
# configured path, so only a build configured for /usr is packaged.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "No Debian package: the prefix is ${CMAKE_INSTALL_PREFIX}, "
    "packages need -DCMAKE_INSTALL_PREFIX=/usr")
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelvanor)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "pelvanor developers <pelvanor@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "query and change the redundant boot loader environment on flash")
# The long description; CPack puts the summary above it as the first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "pelvanor lists, prints, sets and deletes the variables of the U-Boot
environment that the device keeps twice, in /dev/mtd1 and /dev/mtd2.
Every change is written to the inactive copy first, so a power cut at any
moment leaves a usable environment. Run without a command, it applies
network settings waiting in the environment to the device's configuration
files, once; the init script and systemd unit that do so at boot are
installed but not enabled.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${PELVANOR_DEB_ARCH}")
# The init script's destination under /etc is absolute: staged through
# DESTDIR, so that cpack never writes to the host's own /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Only the product, its page and its boot files: test tooling has no install
# rules. The init script lies in /etc, so it is a configuration file that
# dpkg keeps when the admin changed it. No maintainer scripts: installing
# the package enables nothing (see the README).
# (With the prefix /usr, the init script lies where GNUInstallDirs puts the
# configuration of that prefix: cmake/boot.cmake.)
file(WRITE "${PROJECT_BINARY_DIR}/conffiles"
  "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/pelvanor-net\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The C library dependency, worked out from the binary by
# dpkg-shlibdeps. Natively CPack runs it on the staged binary. For the device
# the target's libraries are the host's cross copies in the sysroot, which
# dpkg-shlibdeps is pointed at with -l; their packages are named after the
# host (libc6:powerpc from libc6-powerpc-cross, libgcc-s1-powerpc-cross), so
# cross-shlibdeps.cmake runs it at packaging time and maps those names to the
# device's own packages (libc6, libgcc-s1).
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_PELVANOR_BINARY "${PROJECT_BINARY_DIR}/pelvanor")
  set(CPACK_PELVANOR_LIBDIR "${CMAKE_FIND_ROOT_PATH}/lib")
  set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cross-shlibdeps.cmake")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
