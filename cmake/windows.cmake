# Windows module: linked against pd.dll through an import library made here
# from src/pd.def, with the compiler's own runtime linked in, so that the DLL
# needs nothing but Windows, the C runtime and Pd.

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES ${CMAKE_CXX_COMPILER_TARGET}-dlltool dlltool REQUIRED)
endif()

# Pd's functions are cdecl: on i686 dlltool gives their symbols the leading
# underscore of C names by itself and keeps the imported names plain, as
# pd.dll exports them (-U would decorate the imported names too).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VELTRIX_DLLTOOL_FLAGS -m i386)
else()
  set(VELTRIX_DLLTOOL_FLAGS -m i386:x86-64)
endif()

set(VELTRIX_PD_DEF ${PROJECT_SOURCE_DIR}/src/pd.def)
set(VELTRIX_PD_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/libpd.dll.a)
add_custom_command(OUTPUT ${VELTRIX_PD_IMPLIB}
  COMMAND ${CMAKE_DLLTOOL} ${VELTRIX_DLLTOOL_FLAGS} -d ${VELTRIX_PD_DEF} -D pd.dll
          -l ${VELTRIX_PD_IMPLIB}
  DEPENDS ${VELTRIX_PD_DEF}
  COMMENT "Generating pd.dll import library"
  VERBATIM)
add_custom_target(veltrix_pd_implib DEPENDS ${VELTRIX_PD_IMPLIB})

add_dependencies(Veltrix veltrix_pd_implib)
set_property(TARGET Veltrix APPEND PROPERTY LINK_DEPENDS ${VELTRIX_PD_IMPLIB})
target_link_libraries(Veltrix PRIVATE ${VELTRIX_PD_IMPLIB})
# -static keeps winpthread out too, should a posix-thread toolchain be used.
target_link_options(Veltrix PRIVATE -static -static-libgcc -static-libstdc++)

option(VELTRIX_WINDOWS_TESTS "Build the Windows test programs" ON)
# The sources package has no tests/.
if(VELTRIX_WINDOWS_TESTS AND EXISTS ${PROJECT_SOURCE_DIR}/tests/windows/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${PROJECT_BINARY_DIR}/tests-windows)
  # The benchmarks run on the test programs' fake host.
  add_subdirectory(${PROJECT_SOURCE_DIR}/bench/windows ${PROJECT_BINARY_DIR}/bench-windows)
endif()
