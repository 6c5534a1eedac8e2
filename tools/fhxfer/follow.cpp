// Following one task to its end: the progress bar, and the report of how it ended.
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "common/task_poll.h"
#include "fhxfer.h"

namespace fhxfer {

namespace {

double Now() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string Human(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 3) {
        bytes /= 1024.0;
        ++u;
    }
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f %s", bytes, units[u]);
    return buf;
}

std::string Clock(double seconds) {
    long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    }
    return buf;
}

// One line on standard error: a bar with percentage and ETA once the size is known, a
// bouncing spinner before that (a download whose server sent no length stays there).
void DrawBar(bool sizeKnown, unsigned percent, double bytes, double elapsed, unsigned tick) {
    const int width = 24;
    std::string bar(width, ' ');
    std::string tail;
    if (sizeKnown) {
        int filled = static_cast<int>(percent) * width / 100;
        bar.replace(0, static_cast<size_t>(filled), static_cast<size_t>(filled), '#');
        char pct[8];
        snprintf(pct, sizeof pct, "%3u%%", percent);
        tail = pct;
    } else {
        int span = width - 3;
        int pos = static_cast<int>(tick % static_cast<unsigned>(2 * span));
        bar.replace(static_cast<size_t>(pos < span ? pos : 2 * span - pos), 3, "<=>");
        tail = "   ?";
    }
    double rate = elapsed > 0 ? bytes / elapsed : 0;
    std::string eta = "--:--";
    if (sizeKnown && percent > 0 && percent < 100) {
        eta = Clock(elapsed * (100 - percent) / percent);
    } else if (sizeKnown && percent >= 100) {
        eta = "0:00";
    }
    fprintf(stderr, "\r[%s] %s  %10s  %10s/s  ETA %s ", bar.c_str(), tail.c_str(),
            Human(bytes).c_str(), Human(rate).c_str(), eta.c_str());
    fflush(stderr);
}

// Whether a worker thread still runs in this process: workers are named after their
// thread routines (HttpThread, TftpThread, ...).
bool WorkerRunning() {
    static const std::set<std::string> kNames = {"HttpThread", "TftpThread", "SftpThread",
                                                 "ScpThread",  "FtpThread",  "MountThread"};
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && kNames.count(name) != 0) {
            return true;
        }
    }
    return false;
}

// The worker is a detached thread of this process: exiting under it would skip its
// cleanup (a stopped download removes its partial file). Waits up to 10 s for it.
void AwaitWorker() {
    for (int i = 0; i < 200 && WorkerRunning(); ++i) {
        usleep(50 * 1000);
    }
}

}  // namespace

long long FileSize(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

Outcome Follow(uint32_t id, const Meter& m, bool bar) {
    Outcome o;
    double start = Now();
    bool sizeKnown = !m.download;
    unsigned tick = 0;
    auto show = [&](const ComponentProcess& rec) {
        double bytes = m.download ? static_cast<double>(FileSize(m.local.c_str()))
                                  : static_cast<double>(m.sourceSize) * rec.ucPercent / 100.0;
        o.bytes = bytes < 0 ? 0 : static_cast<long long>(bytes);
        sizeKnown = sizeKnown || rec.ucPercent > 0;
        o.seconds = Now() - start;
        if (bar) {
            DrawBar(sizeKnown || o.ended, rec.ucPercent, static_cast<double>(o.bytes), o.seconds,
                    tick);
        }
        ++tick;
    };
    uint32_t readResult = 0;
    fh::TaskEnd end = fh::FollowTask(id, std::chrono::milliseconds(50), 0, &o.rec, &readResult,
                                     [&](const ComponentProcess& rec, bool) { show(rec); });
    o.ended = end == fh::TaskEnd::kSucceeded || end == fh::TaskEnd::kFailed;
    if (o.ended) {
        show(o.rec);
        if (bar) {
            fputc('\n', stderr);
        }
    }
    FILEHANDLE_DeleteProgressInfo(id);
    AwaitWorker();
    return o;
}

int Report(const Args& a, uint32_t id, const Meter& m, const Outcome& o) {
    if (!o.ended) {
        return Fail(a, kExitLookup, "task " + std::to_string(id) + ": progress cannot be read");
    }
    bool ok = o.rec.uiStage == FILEHANDLE_STAGE_SUCCEED;
    int exitCode = ok ? kExitOk : ExitFor(o.rec.uiResultCode, true);
    // Some protocols report an unreadable upload source as a failed transfer (libcurl's
    // read error): the class is still the local file's.
    if (!ok && !m.download && access(m.local.c_str(), R_OK) != 0) {
        exitCode = kExitLocal;
    }
    if (a.json) {
        EmitJson(Json{{"ok", ok},
                      {"task", id},
                      {"result", Hex(o.rec.uiResultCode)},
                      {"description", o.rec.szDescription},
                      {"bytes", o.bytes},
                      {"seconds", o.seconds},
                      {"exit", exitCode}});
    } else if (ok) {
        printf("task %u: %s (%s in %.2f s)\n", id, o.rec.szDescription,
               Human(static_cast<double>(o.bytes)).c_str(), o.seconds);
    } else {
        printf("task %u: failed, result %s: %s\n", id, Hex(o.rec.uiResultCode).c_str(),
               o.rec.szDescription);
    }
    return exitCode;
}

bool ShowBar(const Args& a) {
    return !a.json && !a.Has("quiet") && isatty(STDERR_FILENO);
}

}  // namespace fhxfer
