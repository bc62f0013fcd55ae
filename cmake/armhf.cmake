# Cross-build for the board: a Cortex-A9 (32-bit ARM, hard float, NEON), Debian's armhf.
# The armhf libraries come from a root that holds their -dev packages: name it with
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake -DTAVIMORO_ARMHF_SYSROOT=/path/to/root
# or the environment variable TAVIMORO_ARMHF_SYSROOT (scripts/test-armhf makes such a root).
# Without one the compiler's own sysroot is used, as in a Buildroot toolchain.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-a9 -mfpu=neon -mfloat-abi=hard")
# -Wno-psabi: GCC notes that passing some types changed in GCC 7.1; all of this is built by one
# newer compiler, so the old layout never meets the new one.
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT} -Wno-psabi")

set(TAVIMORO_CROSS_TRIPLET arm-linux-gnueabihf)
set(TAVIMORO_CROSS_SYSROOT_VARIABLE TAVIMORO_ARMHF_SYSROOT)
include(${CMAKE_CURRENT_LIST_DIR}/cross-sysroot.cmake)
