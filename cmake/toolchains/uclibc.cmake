# SPDX-License-Identifier: MIT
# uClibc-ng, built once from Debian's uclibc-source into the project's
# cache. The including file sets CROSS_PROCESSOR and CROSS_QEMU.
set(LIBC_NAME uclibc)
set(LIBC_SYSROOT_SCRIPT uclibc-sysroot)
set(LIBC_INCLUDE usr/include)
set(LIBC_LIBDIR usr/lib)
set(LIBC_LOADER /lib/ld-uClibc.so.0)
set(LIBC_SONAME libc.so.0)
# The library is built for MIPS32 Release 1 so that it runs on every MIPS32
# core; artflash is compiled for the same, and tested on the 4Kc, a
# Release 1 core, with a check that no later instruction is in it.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../libc/uclibc.config LIBC_CFLAGS
  REGEX "^UCLIBC_EXTRA_CFLAGS=")
string(REGEX REPLACE "^UCLIBC_EXTRA_CFLAGS=\"(.*)\"$" "\\1" LIBC_CFLAGS "${LIBC_CFLAGS}")
list(APPEND CROSS_QEMU -cpu 4Kc)
set(ARTFLASH_MIPS_RELEASE1 ON)
include(${CMAKE_CURRENT_LIST_DIR}/foreign-libc.cmake)
