# SPDX-License-Identifier: MIT
# arm64 (AArch64) with Debian's cross compiler and multiarch libraries:
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(LUMRA_TARGET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
