# Cross-build of the host's programs for a 64-bit ARM gaming host (Debian's arm64), such as the
# single-board computers Batocera and Recalbox run on. The arm64 libraries come from a root that
# holds their -dev packages (scripts/cross-root arm64 ROOT makes one): name it with
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake -DTAVIMORO_ARM64_SYSROOT=/path/to/root
# or the environment variable TAVIMORO_ARM64_SYSROOT.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(TAVIMORO_CROSS_TRIPLET aarch64-linux-gnu)
set(TAVIMORO_CROSS_SYSROOT_VARIABLE TAVIMORO_ARM64_SYSROOT)
include(${CMAKE_CURRENT_LIST_DIR}/cross-sysroot.cmake)
