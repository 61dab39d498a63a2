# SPDX-License-Identifier: MIT
# Big-endian 32-bit MIPS with uClibc-ng, as the device.
set(CROSS_PROCESSOR mips)
set(CROSS_QEMU qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/uclibc.cmake)
