# The sysroot of a cross build, included by the toolchain files: a root holding the target's
# Debian -dev packages (scripts/cross-root makes one), named by the cache or environment variable
# TAVIMORO_CROSS_SYSROOT_VARIABLE names; pkg-config then reads only its TAVIMORO_CROSS_TRIPLET
# folders. Without one the compiler's own sysroot is used, as in a Buildroot toolchain.
set(${TAVIMORO_CROSS_SYSROOT_VARIABLE} "$ENV{${TAVIMORO_CROSS_SYSROOT_VARIABLE}}" CACHE PATH
    "root holding the target's -dev packages")
if(${TAVIMORO_CROSS_SYSROOT_VARIABLE})
  set(CMAKE_SYSROOT "${${TAVIMORO_CROSS_SYSROOT_VARIABLE}}")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/${TAVIMORO_CROSS_TRIPLET}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
