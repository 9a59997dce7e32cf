# Cross build for the device: 32-bit big-endian PowerPC Linux, with Debian's
# powerpc-linux-gnu cross compiler. Programs built here run on the build host
# under qemu-ppc (Debian's qemu-user), which finds the target's dynamic loader
# and C library in the cross sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(PELVANOR_PPC_SYSROOT /usr/powerpc-linux-gnu)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

# The target's multiarch name. The dynamic loader's $LIB expands to
# lib/<this> on the target (and to lib/x86_64-linux-gnu natively), so test
# tooling that is preloaded through "$LIB" is laid out per architecture.
set(CMAKE_LIBRARY_ARCHITECTURE powerpc-linux-gnu)

# Look for libraries and headers of the target only, and run host programs.
set(CMAKE_FIND_ROOT_PATH ${PELVANOR_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The PowerPC linker otherwise pads each segment to 64 KiB.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096")

# ctest, gtest_discover_tests and the end-to-end harness run target programs
# through this.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${PELVANOR_PPC_SYSROOT})
