# SPDX-License-Identifier: MIT
# Cross-compiling with any GCC or Clang toolchain: a device SDK (OpenWrt,
# Buildroot, Yocto) or Debian's cross compilers with multiarch libraries.
#
#   cmake -S . -B build/dev -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake \
#     -DLUMRA_TARGET=aarch64-openwrt-linux-musl \
#     -DLUMRA_CROSS_COMPILE=/opt/sdk/staging_dir/toolchain/bin/aarch64-openwrt-linux-musl- \
#     -DLUMRA_SYSROOT=/opt/sdk/staging_dir/target-aarch64_cortex-a53_musl \
#     -DBUILD_TESTING=OFF
#
# LUMRA_TARGET        the target triplet (required); its first field names the
#                     processor.
# LUMRA_CROSS_COMPILE the compilers' prefix, a directory and/or the triplet
#                     and "-" (default: "<triplet>-", found on PATH); or set
#                     CMAKE_C_COMPILER and CMAKE_CXX_COMPILER to their paths.
# LUMRA_SYSROOT       the target's root with its headers and libraries
#                     (libiw, libmnl); empty or "/": the build machine's own
#                     multiarch directories (/usr/lib/<triplet>, Debian).
# Each may also come from the environment under the same name.
foreach(v LUMRA_TARGET LUMRA_CROSS_COMPILE LUMRA_SYSROOT)
  if(NOT DEFINED ${v} AND DEFINED ENV{${v}})
    set(${v} "$ENV{${v}}")
  endif()
endforeach()
if(NOT LUMRA_TARGET)
  message(FATAL_ERROR "cmake/cross.cmake: set LUMRA_TARGET to the target triplet")
endif()
# The compiler checks configure projects of their own, which read this file
# again: they get the same settings, through the environment too, as the
# whole-project checks (check_ipo_supported) of CMake before 3.24 pass no
# variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMRA_TARGET LUMRA_CROSS_COMPILE LUMRA_SYSROOT)
foreach(v LUMRA_TARGET LUMRA_CROSS_COMPILE LUMRA_SYSROOT)
  if(DEFINED ${v})
    set(ENV{${v}} "${${v}}")
  endif()
endforeach()
if(NOT DEFINED LUMRA_CROSS_COMPILE)
  set(LUMRA_CROSS_COMPILE "${LUMRA_TARGET}-")
endif()

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" LUMRA_CROSS_ARCH "${LUMRA_TARGET}")
set(CMAKE_SYSTEM_PROCESSOR ${LUMRA_CROSS_ARCH})
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER ${LUMRA_CROSS_COMPILE}gcc)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${LUMRA_CROSS_COMPILE}g++)
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(LUMRA_SYSROOT AND NOT LUMRA_SYSROOT STREQUAL "/")
  set(CMAKE_SYSROOT ${LUMRA_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${LUMRA_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
# Multiarch: the target's libraries in <root>/usr/lib/<triplet>.
if(IS_DIRECTORY "${LUMRA_SYSROOT}/usr/lib/${LUMRA_TARGET}")
  set(CMAKE_LIBRARY_ARCHITECTURE ${LUMRA_TARGET})
endif()

# ctest runs the target's programs under qemu-user where it is installed,
# the static build preferred (an LD_PRELOAD meant for the target program
# then cannot reach the emulator), with the target's loader and libraries
# from the sysroot.
set(LUMRA_CROSS_QEMU ${LUMRA_CROSS_ARCH})
if(LUMRA_CROSS_ARCH MATCHES "^arm")
  set(LUMRA_CROSS_QEMU arm)
elseif(LUMRA_CROSS_ARCH MATCHES "^i.86$")
  set(LUMRA_CROSS_QEMU i386)
endif()
find_program(LUMRA_CROSS_EMULATOR NAMES qemu-${LUMRA_CROSS_QEMU}-static qemu-${LUMRA_CROSS_QEMU})
if(LUMRA_CROSS_EMULATOR)
  if(CMAKE_SYSROOT)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMRA_CROSS_EMULATOR} -L ${CMAKE_SYSROOT})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMRA_CROSS_EMULATOR})
  endif()
endif()
