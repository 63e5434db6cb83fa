# Cross build for macOS on Linux, one CPU per build folder:
#   -DVELTRIX_MACOS_ARCH=arm64    Apple silicon, macOS 11 and later (the default)
#   -DVELTRIX_MACOS_ARCH=x86_64   Intel, macOS 10.13 and later
# Debian's clang and ld64.lld, with Apple's libc headers, libc++'s headers and
# libSystem's link stub from the folder scripts/install-deps (group macos)
# fills: VELTRIX_MACOS_LIBC (or that variable in the environment), by default
# ~/.cache/veltrix/macos-libc-0.11.0.
# No SDK and no framework: what the module needs of IOKit it loads at run
# time. scripts/package joins the slices into one file with llvm-lipo.
set(CMAKE_SYSTEM_NAME Darwin)

set(VELTRIX_MACOS_ARCH arm64 CACHE STRING "CPU of this macOS build: arm64 or x86_64")
if(DEFINED ENV{VELTRIX_MACOS_LIBC})
  set(macos_libc $ENV{VELTRIX_MACOS_LIBC})
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(macos_libc $ENV{XDG_CACHE_HOME}/veltrix/macos-libc-0.11.0)
else()
  set(macos_libc $ENV{HOME}/.cache/veltrix/macos-libc-0.11.0)
endif()
set(VELTRIX_MACOS_LIBC ${macos_libc}
    CACHE PATH "Apple's libc headers and libSystem stub (scripts/install-deps macos)")
# try_compile's own projects read this file again: pass the choices on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELTRIX_MACOS_ARCH VELTRIX_MACOS_LIBC)

if(VELTRIX_MACOS_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
  set(triple arm64-apple-macos11.0)
  set(libc_arch aarch64)
elseif(VELTRIX_MACOS_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(triple x86_64-apple-macos10.13)
  set(libc_arch x86_64)
else()
  message(FATAL_ERROR "VELTRIX_MACOS_ARCH must be arm64 or x86_64, not ${VELTRIX_MACOS_ARCH}")
endif()
set(libc ${VELTRIX_MACOS_LIBC})
if(NOT EXISTS ${libc}/ready)
  message(FATAL_ERROR "No macOS headers in ${libc}: run scripts/install-deps macos")
endif()

find_program(VELTRIX_LD64 NAMES ld64.lld ld64.lld-14 ld64.lld-16 ld64.lld-19 REQUIRED)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
# The strip of an install; llvm-strip knows Mach-O and signs again what it strips.
find_program(CMAKE_STRIP NAMES llvm-strip llvm-strip-19 llvm-strip-16 llvm-strip-14)

# The host's headers stay out: libc++'s headers first, then clang's own, then
# Apple's libc. libc++ as Apple builds it (namespace std::__1); the module
# uses only its templates, no symbol of its library, and throws nothing, so
# no unwinding tables ask for libc++abi's personality routine, which no
# library linked here supplies. Compile options, not CMAKE_CXX_FLAGS, which a
# -D on the command line would replace.
add_compile_options(-nostdlibinc -isystem${libc}/libcxx/include
  -idirafter${libc}/include/${libc_arch}-macos.11-none
  -idirafter${libc}/include/any-macos.11-any -idirafter${libc}/include/any-macos-any
  $<$<COMPILE_LANGUAGE:CXX>:-nostdinc++> $<$<COMPILE_LANGUAGE:CXX>:-stdlib=libc++>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>
  -D_LIBCPP_ABI_VERSION=1 -D_LIBCPP_ABI_NAMESPACE=__1
  -D_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS)
# ld64.lld, with libSystem's stub as the only library it may search (-Z: not
# the host's /usr/lib). The linker version makes clang pass -platform_version,
# which ld64.lld requires. Link options, for the same reason as above.
add_link_options(--ld-path=${VELTRIX_LD64} -mlinker-version=711 -nostdlib -Wl,-Z
  -L${libc}/lib -lSystem)

# Headers and libraries come from the macOS folder only, but for m_pd.h, one
# header for every platform: the host's, by its own directory.
set(CMAKE_FIND_ROOT_PATH ${libc})
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
if(NOT PD_INCLUDE_DIR AND EXISTS /usr/include/pd/m_pd.h)
  set(PD_INCLUDE_DIR /usr/include/pd CACHE PATH "Directory of Pd's m_pd.h")
endif()
