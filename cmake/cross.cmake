# Shared part of the cross toolchain files (toolchain-armhf.cmake,
# toolchain-arm64.cmake): Debian's cross compilers for WS_TRIPLET, the C
# library of that compiler, and the target's other libraries from a sysroot
# folder unpacked from Debian packages of the target architecture
# (scripts/cross.sh makes it). The sysroot only adds headers and libraries;
# the compiler keeps its own C library, so no -dev package of the target
# architecture ever goes onto the build machine.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DWS_SYSROOT=/path/to/sysroot
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${WS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${WS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${WS_TRIPLET})

if(NOT WS_SYSROOT AND DEFINED ENV{WS_SYSROOT})
  set(WS_SYSROOT $ENV{WS_SYSROOT})
endif()
if(NOT WS_SYSROOT)
  message(FATAL_ERROR "WS_SYSROOT: the folder holding the target's libraries (scripts/cross.sh makes it)")
endif()
set(WS_SYSROOT ${WS_SYSROOT} CACHE PATH "Target libraries unpacked from Debian packages")
# try_compile projects read this file again and need the folder too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WS_SYSROOT)

set(CMAKE_FIND_ROOT_PATH ${WS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the target's .pc files and prefixes their paths with the
# sysroot; nothing is dropped as a "system" path, since the host's system
# folders are not the target's.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${WS_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} "${WS_SYSROOT}/usr/lib/${WS_TRIPLET}/pkgconfig:${WS_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_ALLOW_SYSTEM_CFLAGS} 1)
set(ENV{PKG_CONFIG_ALLOW_SYSTEM_LIBS} 1)

# The linker follows the libraries' own dependencies (gnutls behind
# libmicrohttpd, ...) into the sysroot.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${WS_SYSROOT}/usr/lib/${WS_TRIPLET}:${WS_SYSROOT}/lib/${WS_TRIPLET}")

# ctest runs the target's programs under qemu-user with the sysroot as the
# library prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${WS_QEMU} -L ${WS_SYSROOT})
