// The name of the calling process.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "common/raii.h"
#include "platform/bmc_platform.h"

extern "C" int BMC_GetCurrentProcessName(uint32_t size, char* buffer) {
    if (buffer == nullptr || size == 0) {
        return -1;
    }
    char name[64] = {0};
    fh::UniqueFile f(fopen("/proc/self/comm", "re"));
    if (f && fgets(name, sizeof name, f.Get()) != nullptr) {
        name[strcspn(name, "\n")] = '\0';
    } else {
        BMC_Strlcpy(name, program_invocation_short_name, sizeof name);
    }
    BMC_Strlcpy(buffer, name, size);
    return 0;
}
