# The network apply at boot: a SysV init script, a systemd unit and the udev
# rule that unit relies on, configured with the installed path of the binary.
#
# Destinations follow GNUInstallDirs: with the prefix /usr the init script
# goes to /etc/init.d (CMAKE_INSTALL_FULL_SYSCONFDIR is /etc then), with
# /usr/local to /usr/local/etc/init.d. The unit and rule directories default
# to lib/ under the prefix, where systemd and udev look, and can be set to
# what the target's distribution uses (Yocto: ${systemd_system_unitdir}).
set(PELVANOR_SYSTEMD_UNITDIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" CACHE PATH
  "Where the systemd unit pelvanor-net.service is installed")
set(PELVANOR_UDEV_RULESDIR "${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d" CACHE PATH
  "Where the udev rule that shows the flash partitions to systemd is installed")
set(PELVANOR_INITDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d")

# The path the boot files run, fixed here; see the install check below.
set(PELVANOR_BINARY "${CMAKE_INSTALL_FULL_SBINDIR}/pelvanor")
configure_file(boot/pelvanor-net.in pelvanor-net @ONLY)
configure_file(boot/pelvanor-net.service.in pelvanor-net.service @ONLY)

install(PROGRAMS "${PROJECT_BINARY_DIR}/pelvanor-net" DESTINATION "${PELVANOR_INITDIR}")
install(FILES "${PROJECT_BINARY_DIR}/pelvanor-net.service"
  DESTINATION "${PELVANOR_SYSTEMD_UNITDIR}")
install(FILES boot/60-pelvanor-mtd.rules DESTINATION "${PELVANOR_UDEV_RULESDIR}")
