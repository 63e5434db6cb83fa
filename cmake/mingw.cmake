# What both mingw-w64 toolchains share; VELTRIX_MINGW_TRIPLE names the target.
set(CMAKE_C_COMPILER ${VELTRIX_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELTRIX_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${VELTRIX_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${VELTRIX_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${VELTRIX_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VELTRIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Pd's m_pd.h is one header for every platform: take the host's, by its own
# directory only (the host's /usr/include must stay out of a cross build).
if(NOT PD_INCLUDE_DIR AND EXISTS /usr/include/pd/m_pd.h)
  set(PD_INCLUDE_DIR /usr/include/pd CACHE PATH "Directory of Pd's m_pd.h")
endif()
