# Hardening for a program that runs as root at every boot: checked buffer
# and string functions where the C library has them, stack canaries in
# functions with local arrays, and a read-only relocation table resolved at
# start-up (full RELRO, bind-now).
#
# An image build system's own choice wins: a level of fortification or a
# stack protector that its compiler already applies (Buildroot's wrapper puts
# them ahead of the command line) is left as it is, and our flags go in front
# of the flags it gives, not into target options (which come last on the
# command line), so that -U_FORTIFY_SOURCE, -fno-stack-protector or
# -Wl,-z,norelro given there turn ours off. Compiler flags are put in front
# of CMAKE_CXX_FLAGS. Linker flags are put in front of CMAKE_CXX_LINK_FLAGS,
# which the link line of an executable has ahead of CMAKE_EXE_LINKER_FLAGS:
# Yocto's cmake class gives its LDFLAGS in the former, Buildroot and the
# LDFLAGS environment variable in the latter, and both follow ours.
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

set(pelvanor_hardening "")

set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles([[
#ifdef _FORTIFY_SOURCE
#error fortified already
#endif
int main() { return 0; }
]] PELVANOR_FORTIFY_UNSET)
check_cxx_source_compiles([[
#if defined __SSP__ || defined __SSP_STRONG__ || defined __SSP_ALL__ || defined __SSP_EXPLICIT__
#error protected already
#endif
int main() { return 0; }
]] PELVANOR_STACK_PROTECTOR_UNSET)

# Fortification works only with optimisation, and the sanitizers check the
# same calls themselves. It is a definition every compiler accepts; a C
# library without checked functions ignores it.
if(PELVANOR_FORTIFY_UNSET AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug" AND NOT PELVANOR_SANITIZE)
  string(APPEND pelvanor_hardening " -D_FORTIFY_SOURCE=2")
endif()

# Built and linked, with a local array so that the canary is really used:
# a toolchain whose C library lacks __stack_chk_fail fails here, not later.
if(PELVANOR_STACK_PROTECTOR_UNSET)
  set(CMAKE_REQUIRED_FLAGS -fstack-protector-strong)
  check_cxx_source_compiles([[
#include <cstdio>
int main() { char line[16]; return std::snprintf(line, sizeof line, "%d", 7) + line[0]; }
]] PELVANOR_HAVE_STACK_PROTECTOR)
  unset(CMAKE_REQUIRED_FLAGS)
endif()
if(PELVANOR_HAVE_STACK_PROTECTOR)
  string(APPEND pelvanor_hardening " -fstack-protector-strong")
endif()
string(STRIP "${pelvanor_hardening} ${CMAKE_CXX_FLAGS}" CMAKE_CXX_FLAGS)

check_linker_flag(CXX "-Wl,-z,relro,-z,now" PELVANOR_HAVE_RELRO_NOW)
unset(CMAKE_REQUIRED_QUIET)
if(PELVANOR_HAVE_RELRO_NOW)
  string(STRIP "-Wl,-z,relro,-z,now ${CMAKE_CXX_LINK_FLAGS}" CMAKE_CXX_LINK_FLAGS)
  string(APPEND pelvanor_hardening " -Wl,-z,relro,-z,now")
endif()
string(STRIP "${pelvanor_hardening}" pelvanor_hardening)
message(STATUS "Hardening flags: ${pelvanor_hardening}")
