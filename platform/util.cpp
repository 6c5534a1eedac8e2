// Helpers the platform files share: directories, appended log lines, the time stamp, and
// the bounded string calls (those two exported).
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "common/raii.h"
#include "platform/bmc_platform.h"
#include "platform/platform_internal.h"

namespace bmc {

constexpr off_t kMaxLogBytes = 8 << 20;

bool MakeDirs(const std::string& dir) {
    if (dir.empty()) {
        return false;
    }
    for (size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        if (pos == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

int OpenForAppend(const char* path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::string p(path);
        if (MakeDirs(p.substr(0, p.rfind('/')))) {
            fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        }
    }
    return fd;
}

// A log keeps its descriptor between lines (opening the file for each line was most of a
// line's cost). It is opened again when the file was removed or replaced, at least once a
// second (a log that a rotator moved away is followed within that), and after it grew past
// kMaxLogBytes: logs live on the controller's small /var, so the full file is moved to
// "<path>.1" (replacing the previous one) and a new one is started.
struct OpenLog {
    std::string path;
    fh::UniqueFd fd;
    time_t openedAt = 0;
};

bool MakeCurrent(OpenLog& log, time_t now) {
    struct stat st {};
    if (log.fd.Valid() && now - log.openedAt < 1 && fstat(log.fd.Get(), &st) == 0 &&
        st.st_nlink > 0 && st.st_size <= kMaxLogBytes) {
        return true;
    }
    log.fd = fh::UniqueFd(OpenForAppend(log.path.c_str()));
    log.openedAt = now;
    // A failed move leaves the file growing; the line is written all the same.
    if (log.fd.Valid() && fstat(log.fd.Get(), &st) == 0 && st.st_size > kMaxLogBytes &&
        rename(log.path.c_str(), (log.path + ".1").c_str()) == 0) {
        log.fd = fh::UniqueFd(OpenForAppend(log.path.c_str()));
    }
    return log.fd.Valid();
}

// The diagnostic, event and operation logs. Never destroyed: detached workers may still
// write a line while the process exits and runs its static destructors.
struct Logs {
    std::mutex mutex;
    OpenLog open[4];
};
Logs& OpenLogs() {
    static Logs* logs = new Logs;
    return *logs;
}

}  // namespace

bool AppendLine(const char* path, const std::string& line) {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    Logs& logs = OpenLogs();
    std::lock_guard<std::mutex> hold(logs.mutex);
    OpenLog spare;  // a path beyond the table is opened for this line only
    OpenLog* log = &spare;
    for (OpenLog& l : logs.open) {
        if (l.path == path || l.path.empty()) {
            log = &l;
            break;
        }
    }
    if (log->path.empty()) {
        log->path = path;
    }
    if (!MakeCurrent(*log, ts.tv_sec)) {
        return false;
    }
    ssize_t n;
    do {
        n = write(log->fd.Get(), line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(line.size());
}

namespace {
// getpid(2) and gettid(2) are system calls each time (glibc keeps no copy), and every log
// line and database lookup asks them. Each id is kept once asked and forgotten in a forked
// child, whose one thread is a new process and thread. Until the fork handler is
// registered (or if that failed) every call asks the kernel, so that a child never takes
// its parent's ids for its own.
std::atomic<int> g_pid{0};
thread_local long t_tid = 0;
const bool g_idsForgottenInChild = pthread_atfork(nullptr, nullptr, [] {
                                       g_pid.store(0, std::memory_order_relaxed);
                                       t_tid = 0;
                                   }) == 0;
}  // namespace

int ProcessId() {
    if (!g_idsForgottenInChild) {
        return static_cast<int>(getpid());
    }
    int pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<int>(getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

long ThreadId() {
    if (!g_idsForgottenInChild) {
        return syscall(SYS_gettid);
    }
    if (t_tid == 0) {
        t_tid = syscall(SYS_gettid);
    }
    return t_tid;
}

std::string NowText() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    gmtime_r(&ts.tv_sec, &tm);
    char buf[96];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000L);
    return buf;
}

}  // namespace bmc

extern "C" int BMC_Scnprintf(char* buffer, size_t size, const char* format, ...) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buffer, size, format, ap);
    va_end(ap);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) >= size ? static_cast<int>(size - 1) : n;
}

extern "C" size_t BMC_Strlcpy(char* destination, const char* source, size_t size) {
    size_t len = strlen(source);
    if (size != 0) {
        size_t n = len < size - 1 ? len : size - 1;
        memmove(destination, source, n);
        destination[n] = '\0';
    }
    return len;
}
