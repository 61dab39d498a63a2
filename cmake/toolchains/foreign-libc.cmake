# SPDX-License-Identifier: MIT
# Cross build with Debian's cross compiler against a C library other than
# the glibc it was built for. Debian's gcc looks in glibc's folders before
# any sysroot, so nothing of its own is used: headers, start files and
# libraries all come from the library's folders.
# The including file sets CROSS_PROCESSOR, CROSS_QEMU and
#   LIBC_NAME           the library, as the tests name it (uclibc, musl)
#   LIBC_SYSROOT_SCRIPT the script in cmake/libc that makes its sysroot,
#                       a device's root, in .cache/LIBC_NAME/CROSS_PROCESSOR
#   LIBC_INCLUDE        its headers, the kernel's among them, in the sysroot
#   LIBC_LIBDIR         its start files, libc.so and libc.a, in the sysroot
#   LIBC_LOADER         the program interpreter of a dynamic build
#   LIBC_SONAME         the one library a dynamic build needs
#   LIBC_CFLAGS         (optional) flags the library was compiled with that
#                       artflash must share, such as the instruction set
set(CROSS_TRIPLET ${CROSS_PROCESSOR}-linux-gnu)
get_filename_component(LIBC_SYSROOT
  ${CMAKE_CURRENT_LIST_DIR}/../../.cache/${LIBC_NAME}/${CROSS_PROCESSOR} ABSOLUTE)
# The script reuses a sysroot made from the same inputs, else makes it anew.
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../libc/${LIBC_SYSROOT_SCRIPT}
  ${CROSS_PROCESSOR} ${LIBC_SYSROOT} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot make the ${LIBC_NAME} sysroot for ${CROSS_PROCESSOR}")
endif()
set(LIBC_INCLUDE ${LIBC_SYSROOT}/${LIBC_INCLUDE})
set(LIBC_LIBDIR ${LIBC_SYSROOT}/${LIBC_LIBDIR})

include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(CMAKE_FIND_ROOT_PATH ${LIBC_SYSROOT})
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU} -L ${LIBC_SYSROOT})
# Checks compile only: a test program linked CMake's way would get glibc.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

foreach(file include crtbegin.o crtend.o)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${file}
    OUTPUT_VARIABLE gcc_${file} OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE gcc_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)

set(CMAKE_C_FLAGS_INIT "${LIBC_CFLAGS} -fno-pie -nostdinc -isystem ${gcc_include} -isystem ${LIBC_INCLUDE}")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")
set(CMAKE_C_LINK_EXECUTABLE "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_C_LINK_FLAGS> <LINK_FLAGS> \
-nostdlib -no-pie --sysroot=${LIBC_SYSROOT} -Wl,-dynamic-linker,${LIBC_LOADER} \
${LIBC_LIBDIR}/crt1.o ${LIBC_LIBDIR}/crti.o ${gcc_crtbegin.o} <OBJECTS> -o <TARGET> \
<LINK_LIBRARIES> -L${LIBC_LIBDIR} -lc ${gcc_libgcc} ${gcc_crtend.o} ${LIBC_LIBDIR}/crtn.o")

# The library has no C++ runtime here, so the tests are built for the
# build machine and run this build's artflash under qemu.
set(ARTFLASH_LIBC ${LIBC_NAME})
set(ARTFLASH_LIBC_SONAME ${LIBC_SONAME})
set(ARTFLASH_LIBC_LOADER ${LIBC_LOADER})
set(ARTFLASH_TESTS_ON_BUILD_MACHINE ON)
