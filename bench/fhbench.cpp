// Benchmark driver: times downloads through the library and counts progress writes.
//
//   fhbench get URI LOCAL                  one download; prints seconds and writes
//   fhbench put LOCAL URI                  one upload; the same figures
//   fhbench concurrent N URI DIR           N downloads at once; prints peak RSS figures
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "frontend/filehandle_ulanddl.h"
#include "platform/bmc_platform.h"

namespace {

std::atomic<long> g_progressWrites{0};

double Now() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long StatusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, strlen(key), key) == 0) {
            return strtol(line.c_str() + strlen(key), nullptr, 10);
        }
    }
    return -1;
}

// Starts a transfer of a transfer URI through the Redfish entry.
uint32_t Start(uint8_t type, const std::string& uri, const std::string& local) {
    static RedfishInfo info;
    memset(&info, 0, sizeof info);
    info.ucHandleType = type;
    info.ucFileMode = 1;  // uploads keep their source
    snprintf(info.szRedfishCmd, sizeof info.szRedfishCmd, "%s", uri.c_str());
    snprintf(info.szLocalPath, sizeof info.szLocalPath, "%s", local.c_str());
    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImageForRedfish(&info, &id);
    if (rc != 0 || id == 0) {
        fprintf(stderr, "fhbench: start failed 0x%08x\n", rc);
        exit(2);
    }
    return id;
}

// True once the task has ended; exits on failure.
bool Ended(uint32_t id) {
    ComponentProcess rec{};
    if (FILEHANDLE_UploadDownloadProgress(id, &rec) != 0) {
        return false;
    }
    if (rec.uiStage == FILEHANDLE_STAGE_FAILED) {
        fprintf(stderr, "fhbench: task %u failed 0x%08x %s\n", id, rec.uiResultCode,
                rec.szDescription);
        exit(3);
    }
    return rec.uiStage == FILEHANDLE_STAGE_SUCCEED;
}

}  // namespace

// Counts every progress write (each takes the write lock once) and forwards.
extern "C" int BRIDGE_LOCK_LTF_FILE_WRITE(int fd) {
    static auto real =
        reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "BRIDGE_LOCK_LTF_FILE_WRITE"));
    g_progressWrites.fetch_add(1, std::memory_order_relaxed);
    return real(fd);
}

int main(int argc, char** argv) {
    bool get = argc == 4 && strcmp(argv[1], "get") == 0;
    bool put = argc == 4 && strcmp(argv[1], "put") == 0;
    if (get || put) {
        double t0 = Now();
        uint32_t id = get ? Start(FILEHANDLE_DOWNLOAD, argv[2], argv[3])
                          : Start(FILEHANDLE_UPLOAD, argv[3], argv[2]);
        while (!Ended(id)) {
            usleep(2000);
        }
        double secs = Now() - t0;
        FILEHANDLE_DeleteProgressInfo(id);
        printf("seconds=%.3f progress_writes=%ld\n", secs, g_progressWrites.load());
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "concurrent") == 0) {
        int n = atoi(argv[2]);
        long base = StatusKiB("VmRSS:");
        std::vector<uint32_t> ids;
        double t0 = Now();
        for (int i = 0; i < n; ++i) {
            ids.push_back(Start(FILEHANDLE_DOWNLOAD, argv[3],
                                std::string(argv[4]) + "/c" + std::to_string(i) + ".bin"));
        }
        long peak = base;
        for (size_t done = 0; done < ids.size();) {
            done = 0;
            for (uint32_t id : ids) {
                done += Ended(id);
            }
            long rss = StatusKiB("VmRSS:");
            peak = rss > peak ? rss : peak;
            usleep(5000);
        }
        double secs = Now() - t0;
        for (uint32_t id : ids) {
            FILEHANDLE_DeleteProgressInfo(id);
        }
        printf(
            "tasks=%d seconds=%.3f rss_base_kib=%ld rss_peak_kib=%ld hwm_kib=%ld "
            "per_task_kib=%ld\n",
            n, secs, base, peak, StatusKiB("VmHWM:"), (peak - base) / n);
        return 0;
    }
    fprintf(stderr, "usage: fhbench get URI LOCAL | put LOCAL URI | concurrent N URI DIR\n");
    return 1;
}
