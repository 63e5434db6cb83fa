# Cross build for 32-bit arm Linux, ARMv7 with hardware floats, for Pds built
# for ARMv7 (Debian's armhf), with Debian's g++-arm-linux-gnueabihf. Raspberry
# Pi OS's 32-bit Pd is ARMv6: toolchain-linux-armv6.cmake.
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(VELTRIX_CROSS_TRIPLE arm-linux-gnueabihf)
set(VELTRIX_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
# GCC notes an ABI change of GCC 7.1 at every std::vector use: nothing we mix.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
