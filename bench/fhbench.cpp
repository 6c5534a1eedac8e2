// Benchmark driver: runs tasks through the library's Redfish entry and polls them.
//
//   fhbench get URI LOCAL          one download; prints seconds and progress writes
//   fhbench put LOCAL URI          one upload; the same figures
//   fhbench concurrent DIR URI...  one download per URI, all at once, into DIR/c<i>.bin;
//                                  prints the process's resident memory before and at peak
//   fhbench ops REPS LIVE QUICK    median and 99th percentile (microseconds) of poll and
//                                  list with 1 and 10 live tasks, and of start and delete
//                                  beside 0 and 9; LIVE is a download that stays running,
//                                  QUICK one that ends at once (the started-and-deleted task)
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// True once the task has ended; exits on failure. `*percent` is the task's last percentage.
bool Ended(uint32_t id, uint8_t* percent = nullptr) {
    ComponentProcess rec{};
    if (FILEHANDLE_UploadDownloadProgress(id, &rec) != 0) {
        return false;
    }
    if (percent != nullptr) {
        *percent = rec.ucPercent;
    }
    if (rec.uiStage == FILEHANDLE_STAGE_FAILED) {
        fprintf(stderr, "fhbench: task %u failed 0x%08x %s\n", id, rec.uiResultCode,
                rec.szDescription);
        exit(3);
    }
    return rec.uiStage == FILEHANDLE_STAGE_SUCCEED;
}

int RunOne(bool get, const char* a, const char* b) {
    double t0 = Now();
    uint32_t id = get ? Start(FILEHANDLE_DOWNLOAD, a, b) : Start(FILEHANDLE_UPLOAD, b, a);
    // Polled every 2 ms until the percentage has moved twice, then at half the time the rest
    // should take at the pace between its last two moves (1 to 20 ms): the clock stops within
    // about a millisecond of the end, and the poller's own CPU (a poll every 2 ms cost up to
    // a tenth of an upload's CPU here) stays off the transfer. A service polls far less often.
    double movedAt = 0, perPercent = 0;  // when the percentage last moved; seconds per percent
    for (uint8_t percent = 0, last = 0; !Ended(id, &percent);) {
        double now = Now();
        if (percent > last) {
            perPercent = movedAt > 0 ? (now - movedAt) / (percent - last) : 0;
            movedAt = now;
            last = percent;
        }
        double left = perPercent > 0 ? perPercent * (100 - percent) : 0.004;
        usleep(static_cast<useconds_t>(std::min(0.02, std::max(0.001, left / 2)) * 1e6));
    }
    double secs = Now() - t0;
    FILEHANDLE_DeleteProgressInfo(id);
    printf("seconds=%.3f progress_writes=%ld\n", secs, g_progressWrites.load());
    return 0;
}

int Concurrent(const std::string& dir, const std::vector<std::string>& uris) {
    long base = StatusKiB("VmRSS:");
    std::vector<uint32_t> ids;
    double t0 = Now();
    for (size_t i = 0; i < uris.size(); ++i) {
        ids.push_back(Start(FILEHANDLE_DOWNLOAD, uris[i], dir + "/c" + std::to_string(i) + ".bin"));
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
    long n = static_cast<long>(ids.size());
    printf(
        "tasks=%ld seconds=%.3f rss_base_kib=%ld rss_peak_kib=%ld hwm_kib=%ld per_task_kib=%ld\n",
        n, secs, base, peak, StatusKiB("VmHWM:"), (peak - base) / n);
    return 0;
}

// Prints the median and 99th percentile of samples taken in seconds.
void Report(const char* op, int live, std::vector<double> s) {
    std::sort(s.begin(), s.end());
    printf("op=%s live=%d n=%zu median_us=%.1f p99_us=%.1f\n", op, live, s.size(),
           s[s.size() / 2] * 1e6, s[s.size() * 99 / 100] * 1e6);
}

// Times each call of `fn` `reps` times.
template <typename Fn>
std::vector<double> Samples(int reps, Fn fn) {
    std::vector<double> s;
    s.reserve(static_cast<size_t>(reps));
    for (int i = 0; i < reps; ++i) {
        double t0 = Now();
        fn();
        s.push_back(Now() - t0);
    }
    return s;
}

// Poll and list with `running` live tasks, `polled` one of them; then `polled` is deleted
// and one QUICK task at a time is started and deleted beside the others.
void TimeOps(int reps, uint32_t polled, int running, const std::string& quick) {
    ComponentProcess rec{};
    TransferTaskInfo list{};
    Report("poll", running,
           Samples(reps, [&] { FILEHANDLE_UploadDownloadProgress(polled, &rec); }));
    Report("list", running, Samples(reps, [&] { FILEHANDLE_GetTransferTaskInfo(&list); }));
    FILEHANDLE_DeleteProgressInfo(polled);  // the table holds ten: a slot for the churn
    std::vector<double> start, del, both;
    for (int i = 0; i < reps / 4; ++i) {
        double t0 = Now();
        uint32_t id = Start(FILEHANDLE_DOWNLOAD, quick, "/var/tmp/fhbench-ops.bin");
        double t1 = Now();
        FILEHANDLE_DeleteProgressInfo(id);
        double t2 = Now();
        start.push_back(t1 - t0);
        del.push_back(t2 - t1);
        both.push_back(t2 - t0);
        usleep(2000);  // lets the worker of the deleted task end before the next start
    }
    Report("start", running - 1, start);
    Report("delete", running - 1, del);
    Report("start+delete", running - 1, both);
}

std::vector<uint32_t> StartLive(const std::string& uri, size_t n) {
    std::vector<uint32_t> ids;
    while (ids.size() < n) {
        std::string local = "/var/tmp/fhbench-live" + std::to_string(ids.size()) + ".bin";
        ids.push_back(Start(FILEHANDLE_DOWNLOAD, uri, local));
    }
    usleep(300000);  // every live task connected and moving data
    return ids;
}

int Ops(int reps, const std::string& liveUri, const std::string& quick) {
    TimeOps(reps, StartLive(liveUri, 1)[0], 1, quick);
    std::vector<uint32_t> ids = StartLive(liveUri, FILEHANDLE_THREAD_MAX);
    TimeOps(reps, ids.back(), static_cast<int>(ids.size()), quick);
    ids.pop_back();  // TimeOps deleted it
    for (uint32_t id : ids) {
        FILEHANDLE_DeleteProgressInfo(id);
    }
    return 0;
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
    std::string mode = argc > 1 ? argv[1] : "";
    if ((mode == "get" || mode == "put") && argc == 4) {
        return RunOne(mode == "get", argv[2], argv[3]);
    }
    if (mode == "concurrent" && argc >= 4 && argc - 3 <= static_cast<int>(FILEHANDLE_THREAD_MAX)) {
        return Concurrent(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    }
    if (mode == "ops" && argc == 5 && atoi(argv[2]) >= 4) {
        return Ops(atoi(argv[2]), argv[3], argv[4]);
    }
    fprintf(stderr,
            "usage: fhbench get URI LOCAL | put LOCAL URI | concurrent DIR URI... |"
            " ops REPS LIVE QUICK\n");
    return 1;
}
