# SPDX-License-Identifier: MIT
# Big-endian 32-bit MIPS, as the device.
set(CROSS_TRIPLET mips-linux-gnu)
set(CROSS_PROCESSOR mips)
set(CROSS_QEMU qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
