# The network apply at boot: a SysV init script, a systemd unit and the udev
# rule that unit relies on, configured with the installed path of the binary.
#
# Destinations follow GNUInstallDirs: with the prefix /usr the init script
# goes to /etc/init.d (CMAKE_INSTALL_FULL_SYSCONFDIR is /etc then), with
# /usr/local to /usr/local/etc/init.d. The unit and rule directories default
# to lib/ under the prefix, where systemd and udev look, and can be set to
# what the target's distribution uses (Yocto: ${systemd_system_unitdir}).
set(PELVANOR_SYSTEMD_UNITDIR "lib/systemd/system" CACHE PATH
  "Where the systemd unit pelvanor-net.service is installed")
set(PELVANOR_UDEV_RULESDIR "lib/udev/rules.d" CACHE PATH
  "Where the udev rule that shows the flash partitions to systemd is installed")
set(PELVANOR_INITDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d")

# The boot files run the binary at the path it is installed at, which is
# known only when installing (cmake --install --prefix may change the prefix
# given when configuring): they are filled in then, from boot/*.in.
set(pelvanor_binary "${CMAKE_INSTALL_SBINDIR}/pelvanor")
if(NOT IS_ABSOLUTE "${pelvanor_binary}")
  set(pelvanor_binary "\${CMAKE_INSTALL_PREFIX}/${pelvanor_binary}")
endif()
install(CODE "set(PELVANOR_BINARY \"${pelvanor_binary}\")
  configure_file([[${PROJECT_SOURCE_DIR}/boot/pelvanor-net.in]]
    [[${PROJECT_BINARY_DIR}/pelvanor-net]] @ONLY)
  configure_file([[${PROJECT_SOURCE_DIR}/boot/pelvanor-net.service.in]]
    [[${PROJECT_BINARY_DIR}/pelvanor-net.service]] @ONLY)")
install(PROGRAMS "${PROJECT_BINARY_DIR}/pelvanor-net" DESTINATION "${PELVANOR_INITDIR}")
install(FILES "${PROJECT_BINARY_DIR}/pelvanor-net.service"
  DESTINATION "${PELVANOR_SYSTEMD_UNITDIR}")
install(FILES boot/60-pelvanor-mtd.rules DESTINATION "${PELVANOR_UDEV_RULESDIR}")
