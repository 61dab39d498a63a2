# SPDX-License-Identifier: MIT
# Little-endian 32-bit MIPS.
set(CROSS_TRIPLET mipsel-linux-gnu)
set(CROSS_PROCESSOR mipsel)
set(CROSS_QEMU qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
