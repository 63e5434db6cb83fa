# Cross build for 32-bit arm Linux, ARMv6 with hardware floats (VFPv2, ARM
# state), the target of Raspberry Pi OS's 32-bit packages: Raspberry Pi 1 and
# Zero, and any Pi on a 32-bit system. Debian's g++-arm-linux-gnueabihf
# defaults to ARMv7 Thumb-2, and so do the start files and libgcc.a it links
# statically: cmake/armv6.cmake keeps them out of the module.
set(CMAKE_SYSTEM_PROCESSOR armv6)
set(VELTRIX_CROSS_TRIPLE arm-linux-gnueabihf)
set(VELTRIX_QEMU_NAME qemu-arm)
set(VELTRIX_ARMV6 ON)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
# As options, not CMAKE_CXX_FLAGS_INIT, which a CMAKE_CXX_FLAGS given when
# configuring would replace.
add_compile_options(-march=armv6 -marm -mfpu=vfp -mfloat-abi=hard)
add_link_options(-march=armv6 -marm -mfpu=vfp -mfloat-abi=hard)
# GCC notes an ABI change of GCC 7.1 at every std::vector use: nothing we mix.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
