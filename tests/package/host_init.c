/* A minimal host built against the installed header: loads the module,
 * checks its version against the header's, runs Init, counts the ports and
 * runs Shutdown.
 *   host_init MODULE EXPECTED_PORTS
 *   host_init             prints the header's version and default module */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vaxo_dt_qpl.h>

#ifndef VAXO_DT_QPL_MODULE
#define VAXO_DT_QPL_MODULE "(none)"
#endif

#define LOOKUP(handle, name) ((__typeof__(&name))dlsym(handle, #name))

int main(int argc, char** argv) {
    if (argc < 3) {
        printf("header %s, module %s\n", VAXO_DRIVER_VERSION, VAXO_DT_QPL_MODULE);
        return 0;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) {
        fprintf(stderr, "FAIL: cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    __typeof__(&Init) init = LOOKUP(module, Init);
    __typeof__(&Shutdown) shutdown = LOOKUP(module, Shutdown);
    __typeof__(&NoofPorts) ports = LOOKUP(module, NoofPorts);
    __typeof__(&GetDriverVer) version = LOOKUP(module, GetDriverVer);
    __typeof__(&GetSerialNo) serial = LOOKUP(module, GetSerialNo);
    if (!init || !shutdown || !ports || !version || !serial) {
        fprintf(stderr, "FAIL: exports missing\n");
        return 1;
    }
    if (strcmp(version(), VAXO_DRIVER_VERSION) != 0) {
        fprintf(stderr, "FAIL: module %s, header %s\n", version(), VAXO_DRIVER_VERSION);
        return 1;
    }
    int want = atoi(argv[2]);
    int ok = init();
    int got = ports();
    printf("Init -> %s, %d ports, card %s\n", ok ? "true" : "false", got, got > 0 ? serial(0) : "-");
    shutdown();
    dlclose(module);
    if (!ok || got != want) {
        fprintf(stderr, "FAIL: expected Init -> true with %d ports\n", want);
        return 1;
    }
    return 0;
}
