# ARMv6 module (cmake/toolchain-linux-armv6.cmake): everything linked in
# statically must be ARMv6 code too, and Debian's armhf start files
# (crti.o, crtbeginS.o, ...), libgcc.a and libc_nonshared.a are ARMv7
# Thumb-2. So the module takes no start files (src/armv6_dso.cpp stands in
# for them) and only shared libraries: libgcc's helpers (__aeabi_idiv, ...)
# come from libgcc_s.so.1, which the Pi's own system provides built for
# ARMv6. A helper that only the static libgcc has (the 64-bit __sync_*
# functions, say) still links, left undefined like Pd's functions, and would
# fail only when a Pi loads the module: tests/package/check_linux.py finds
# it, and tests/package/check_armv6.sh checks the instructions.
target_sources(Veltrix PRIVATE ${PROJECT_SOURCE_DIR}/src/armv6_dso.cpp)
target_link_options(Veltrix PRIVATE -nostartfiles -nodefaultlibs)
target_link_libraries(Veltrix PRIVATE stdc++ m -l:libc.so.6 -l:libgcc_s.so.1)
