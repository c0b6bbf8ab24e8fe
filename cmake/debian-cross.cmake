# SPDX-License-Identifier: MIT
# Cross-compiling with Debian's cross compilers and multiarch libraries.
# Included by the per-architecture toolchain files, which set
# LUMRA_CROSS_TRIPLE (the GNU triplet, which is also the multiarch name),
# LUMRA_CROSS_PROCESSOR and LUMRA_CROSS_QEMU (the qemu-user program name).
#
# Needs: g++-<triplet>, libiw-dev:<arch>, libgtest-dev:<arch> for the tests,
# and qemu-user-static to run the tests on the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LUMRA_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${LUMRA_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LUMRA_CROSS_TRIPLE}-g++)
# Multiarch: the target's libraries live in /usr/lib/<triplet>, its headers
# (libiw's are the same for every architecture) in /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE ${LUMRA_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# ctest runs the target's programs under qemu-user. The static build of qemu
# is preferred: an LD_PRELOAD meant for the target program then cannot reach
# the emulator itself. The target's loader and libc come from the multiarch
# libc6:<arch> that libiw-dev:<arch> pulls in, at their usual paths.
find_program(LUMRA_CROSS_EMULATOR NAMES ${LUMRA_CROSS_QEMU}-static ${LUMRA_CROSS_QEMU})
if(LUMRA_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMRA_CROSS_EMULATOR})
endif()
