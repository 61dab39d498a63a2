# SPDX-License-Identifier: MIT
# Little-endian 32-bit MIPS with musl, from Debian's musl packages (Debian
# has no big-endian MIPS port to take them from).
set(CROSS_PROCESSOR mipsel)
set(CROSS_QEMU qemu-mipsel)
set(LIBC_NAME musl)
set(LIBC_SYSROOT_SCRIPT musl-sysroot)
set(LIBC_INCLUDE usr/include/mipsel-linux-musl)
set(LIBC_LIBDIR usr/lib/mipsel-linux-musl)
set(LIBC_LOADER /lib/ld-musl-mipsel.so.1)
set(LIBC_SONAME libc.so)
include(${CMAKE_CURRENT_LIST_DIR}/foreign-libc.cmake)
