# SPDX-License-Identifier: MIT
# Toolchain file for armhf (32-bit ARMv7, hard float) with Debian's cross compiler:
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(LUMRA_CROSS_TRIPLE arm-linux-gnueabihf)
set(LUMRA_CROSS_PROCESSOR arm)
set(LUMRA_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
