// Helpers the platform files share: directories, appended log lines, the time stamp, and
// the bounded string calls (those two exported).
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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

bool AppendLine(const char* path, const std::string& line) {
    fh::UniqueFd fd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.Valid()) {
        std::string p(path);
        if (!MakeDirs(p.substr(0, p.rfind('/')))) {
            return false;
        }
        fd = fh::UniqueFd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (!fd.Valid()) {
            return false;
        }
    }
    // Logs live on the controller's small /var: past kMaxLogBytes the file is moved to
    // "<path>.1" (replacing the previous one) and a new one is started.
    struct stat st {};
    if (fstat(fd.Get(), &st) == 0 && st.st_size > kMaxLogBytes) {
        rename(path, (std::string(path) + ".1").c_str());
    }
    ssize_t n;
    do {
        n = write(fd.Get(), line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(line.size());
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
