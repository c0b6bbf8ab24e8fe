# SPDX-License-Identifier: MIT
# Toolchain file for arm64 (AArch64) with Debian's cross compiler:
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(LUMRA_CROSS_TRIPLE aarch64-linux-gnu)
set(LUMRA_CROSS_PROCESSOR aarch64)
set(LUMRA_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
