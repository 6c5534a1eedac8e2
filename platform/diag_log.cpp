// The diagnostic log: one line per call in BMC_DIAG_LOG_PATH.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "platform/bmc_platform.h"
#include "platform/platform_internal.h"

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
             bmc::ProcessId(), bmc::ThreadId(), level, module, file != nullptr ? file : "?", line);
    std::string out(head);
    out.append(message, len);
    out.push_back('\n');
    return bmc::AppendLine(BMC_DIAG_LOG_PATH, out) ? 0 : -1;
}
