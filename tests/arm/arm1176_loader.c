/* Starts a program of Debian's armel C library, which runs on an ARM1176,
 * and loads into it the fake host and the module, both ARMv6 hard-float:
 *   arm1176_loader HOST MODULE
 * The fake host goes first and global, so that the module finds Pd's
 * functions there. No float crosses between this and them. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    void *host = dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL);
    void *module = host ? dlopen(argv[2], RTLD_NOW) : NULL;
    if (!module) {
        printf("FAIL dlopen: %s\n", dlerror());
        return 1;
    }
    int (*run)(void (*)(void)) = (int (*)(void (*)(void)))dlsym(host, "arm1176_run");
    void (*setup)(void) = (void (*)(void))dlsym(module, "Veltrix_setup");
    if (!run || !setup) {
        printf("FAIL dlsym: %s\n", dlerror());
        return 1;
    }
    return run(setup);
}
