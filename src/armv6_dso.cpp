// What the toolchain's start files give a shared object, for the ARMv6
// module, which is linked without them (cmake/armv6.cmake): Debian's are
// ARMv7 Thumb-2. A static object with a destructor registers it with
// __cxa_atexit under this module's handle; on unloading, __cxa_finalize runs
// those destructors while the module's code is still mapped.
extern "C" {
__attribute__((visibility("hidden"))) void *__dso_handle = &__dso_handle;
int __cxa_finalize(void *handle);
}

namespace {
void run_static_destructors()
{
    __cxa_finalize(&__dso_handle);
}
__attribute__((section(".fini_array"), used)) void (*const finalize)() = run_static_destructors;
} // namespace
