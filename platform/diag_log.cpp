// The diagnostic log: one line per call in BMC_DIAG_LOG_PATH.
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "platform/bmc_platform.h"
#include "platform/platform_internal.h"

namespace {

// The calling thread's id, asked of the kernel once per thread (and again in a forked
// child, whose one thread has an id of its own; should the handler fail to register, a
// child's lines would show its parent's id, and nothing else reads it).
thread_local long t_threadId = 0;
const int g_forkHandler = pthread_atfork(nullptr, nullptr, [] { t_threadId = 0; });

long ThreadId() {
    if (t_threadId == 0) {
        t_threadId = syscall(SYS_gettid);
    }
    return t_threadId;
}

}  // namespace

extern "C" int BMC_DiagLogOut(uint32_t module, uint32_t reserved, uint32_t level, uint32_t line,
                              const char* file, const char* format, ...) {
    (void)reserved;
    char message[2048];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(message, sizeof message, format != nullptr ? format : "(null)", ap);
    va_end(ap);
    if (n < 0) {
        message[0] = '\0';
    }
    // One line per call: strip the message's own trailing newlines.
    size_t len = strlen(message);
    while (len > 0 && (message[len - 1] == '\n' || message[len - 1] == '\r')) {
        message[--len] = '\0';
    }
    char head[160];
    snprintf(head, sizeof head, "%s [%d:%ld] L%u M%u %s:%u: ", bmc::NowText().c_str(),
             bmc::ProcessId(), ThreadId(), level, module, file != nullptr ? file : "?", line);
    std::string out(head);
    out.append(message, len);
    out.push_back('\n');
    return bmc::AppendLine(BMC_DIAG_LOG_PATH, out) ? 0 : -1;
}
