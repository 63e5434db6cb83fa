/* An armel program, which runs on an ARM1176, that loads the fake host, first
 * and global so that the module finds Pd's functions there, then the module:
 *   arm1176_loader HOST MODULE
 * No float passes between this and them. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    void *host = argc == 3 ? dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL) : NULL;
    void *module = host ? dlopen(argv[2], RTLD_NOW) : NULL;
    void *run = module ? dlsym(host, "arm1176_run") : NULL;
    void *setup = run ? dlsym(module, "Veltrix_setup") : NULL;
    if (!setup) {
        printf("FAIL loading: %s\n", argc == 3 ? dlerror() : "arm1176_loader HOST MODULE");
        return 1;
    }
    return ((int (*)(void (*)(void)))run)((void (*)(void))setup);
}
