# SPDX-License-Identifier: MIT
# armhf (32-bit ARMv7, hard float) with Debian's cross compiler and multiarch
# libraries:
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(LUMRA_TARGET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
