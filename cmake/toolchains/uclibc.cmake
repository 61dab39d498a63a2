# SPDX-License-Identifier: MIT
# uClibc-ng, built once from Debian's uclibc-source into the project's
# cache. The including file sets CROSS_PROCESSOR and CROSS_QEMU.
set(LIBC_NAME uclibc)
set(LIBC_SYSROOT_SCRIPT uclibc-sysroot)
set(LIBC_INCLUDE usr/include)
set(LIBC_LIBDIR usr/lib)
set(LIBC_LOADER /lib/ld-uClibc.so.0)
set(LIBC_SONAME libc.so.0)
include(${CMAKE_CURRENT_LIST_DIR}/foreign-libc.cmake)
