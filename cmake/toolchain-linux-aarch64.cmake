# Cross build for 64-bit arm Linux (Raspberry Pi OS 64-bit and the like) with
# Debian's g++-aarch64-linux-gnu.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELTRIX_CROSS_TRIPLE aarch64-linux-gnu)
set(VELTRIX_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
