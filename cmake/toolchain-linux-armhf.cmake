# Cross build for 32-bit arm Linux, ARMv7 with hardware floats (Raspberry Pi 2
# and later on a 32-bit system) with Debian's g++-arm-linux-gnueabihf.
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(VELTRIX_CROSS_TRIPLE arm-linux-gnueabihf)
set(VELTRIX_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
# GCC notes an ABI change of GCC 7.1 at every std::vector use: nothing we mix.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
