# The network apply at boot: a SysV init script, a systemd unit and the udev
# rule that unit relies on, configured with the installed path of the binary.
#
# The unit and rule directories default to lib/ under the prefix, where
# systemd and udev look, and can be set to what the target's distribution
# uses (Yocto: ${systemd_system_unitdir}).
set(PELVANOR_SYSTEMD_UNITDIR "lib/systemd/system" CACHE PATH
  "Where the systemd unit pelvanor-net.service is installed")
set(PELVANOR_UDEV_RULESDIR "lib/udev/rules.d" CACHE PATH
  "Where the udev rule that shows the flash partitions to systemd is installed")

# The boot files run the binary at the path it is installed at, and the init
# script's directory depends on the prefix too; both are known only when
# installing (cmake --install --prefix may change the prefix given when
# configuring). So the files are filled in from boot/*.in then, and the init
# script goes to
#   SYSCONFDIR/init.d          when CMAKE_INSTALL_SYSCONFDIR is absolute
#                              (Yocto passes /etc);
#   /SYSCONFDIR/init.d         with the prefix /usr or / (/etc/init.d);
#   PREFIX/SYSCONFDIR/init.d   otherwise (/usr/local/etc/init.d, /opt/pv/etc/init.d).
install(CODE "set(pelvanor_sbindir [[${CMAKE_INSTALL_SBINDIR}]])
  set(pelvanor_sysconfdir [[${CMAKE_INSTALL_SYSCONFDIR}]])
  set(pelvanor_boot_sources [[${PROJECT_SOURCE_DIR}/boot]])
  set(pelvanor_boot_files [[${PROJECT_BINARY_DIR}]])")
install(CODE [[
  # (cmake --install --prefix / leaves the prefix empty.)
  set(pelvanor_prefix /)
  cmake_path(APPEND pelvanor_prefix "${CMAKE_INSTALL_PREFIX}")
  cmake_path(APPEND pelvanor_prefix "${pelvanor_sbindir}" pelvanor
    OUTPUT_VARIABLE PELVANOR_BINARY)
  set(pelvanor_root "${pelvanor_prefix}")
  if(pelvanor_root MATCHES "^/(usr/?)?$")
    set(pelvanor_root /)
  endif()
  cmake_path(APPEND pelvanor_root "${pelvanor_sysconfdir}" init.d
    OUTPUT_VARIABLE pelvanor_initdir)
  configure_file("${pelvanor_boot_sources}/pelvanor-net.in"
    "${pelvanor_boot_files}/pelvanor-net" @ONLY)
  configure_file("${pelvanor_boot_sources}/pelvanor-net.service.in"
    "${pelvanor_boot_files}/pelvanor-net.service" @ONLY)
  file(INSTALL "${pelvanor_boot_files}/pelvanor-net" DESTINATION "${pelvanor_initdir}"
    TYPE PROGRAM)
]])
install(FILES "${PROJECT_BINARY_DIR}/pelvanor-net.service"
  DESTINATION "${PELVANOR_SYSTEMD_UNITDIR}")
install(FILES boot/60-pelvanor-mtd.rules DESTINATION "${PELVANOR_UDEV_RULESDIR}")
