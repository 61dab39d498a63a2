# SPDX-License-Identifier: MIT
# Little-endian 32-bit MIPS with uClibc-ng.
set(CROSS_PROCESSOR mipsel)
set(CROSS_QEMU qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/uclibc.cmake)
