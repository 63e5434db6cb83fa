# What both Linux arm toolchains share; VELTRIX_CROSS_TRIPLE names the target,
# whose Debian sysroot is /usr/<triple>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELTRIX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELTRIX_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VELTRIX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The tests run under qemu-user with the cross sysroot's loader and libraries.
find_program(VELTRIX_QEMU ${VELTRIX_QEMU_NAME})
if(VELTRIX_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELTRIX_QEMU} -L /usr/${VELTRIX_CROSS_TRIPLE})
endif()

# m_pd.h is one header for every platform: take the host's, by its own
# directory only (the host's /usr/include must stay out of a cross build).
if(NOT PD_INCLUDE_DIR AND EXISTS /usr/include/pd/m_pd.h)
  set(PD_INCLUDE_DIR /usr/include/pd CACHE PATH "Directory of Pd's m_pd.h")
endif()
