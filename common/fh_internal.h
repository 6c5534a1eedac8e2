// Internal definitions shared by the library's modules (not part of the public header).
#pragma once

#include <stdint.h>

#include "common/named_lock.h"
#include "frontend/filehandle_ulanddl.h"
#include "platform/bmc_platform.h"

// The texts the library logs, writes into progress records and raises in events (here, in
// the worker members of workers/worker_frame.cpp, the libcurl routines and the message
// tables of each protocol) are fixed external strings that other programs match:
// misspellings such as "succrss", "Downloadf" or "pattert" are part of them and must not be
// corrected.

// Every log line of the library names this source file.
#define FH_SOURCE_FILE "filehandle_ulanddl"

// Ordinary records: module 50, reserved 0.
#define FH_LOG(level, ...) BMC_DiagLogOut(50, 0, (level), __LINE__, FH_SOURCE_FILE, __VA_ARGS__)
// Null-pointer and close-failure reports: module 0, reserved 0.
#define FH_LOG_LOW(level, ...) BMC_DiagLogOut(0, 0, (level), __LINE__, FH_SOURCE_FILE, __VA_ARGS__)
// "Pointer <name> is Null, ..." at level 7, naming the calling function.
#define FH_LOG_NULL_AS(name, func)                                                                 \
    FH_LOG_LOW(BMC_LOG_DEBUG, "Pointer " name " is Null, File:%s Func:%s Line:%d", FH_SOURCE_FILE, \
               (func), __LINE__)
#define FH_LOG_NULL(name) FH_LOG_NULL_AS(name, __func__)
#define FH_LOG_CLOSE_FAILED(func) \
    FH_LOG_LOW(BMC_LOG_DEBUG, "[%s-%dL] Close file failed, %s.", (func), __LINE__, strerror(errno))

namespace fh {

constexpr uint32_t kSdlTaskFailedEvent = 0x2201040d;
constexpr uint32_t kDescSize = 1024;  // pcTaskDesc and szDescription

// True for 1..FILEHANDLE_THREAD_MAX; 0 wraps to a huge value and fails too.
inline bool ValidIdentifier(uint32_t id) {
    return id - 1u <= FILEHANDLE_THREAD_MAX - 1u;
}

// Logs a named lock that could not be taken (see NamedLock).
inline void LogLockFailure(const char* name) {
    FH_LOG(BMC_LOG_ERROR, "Could not take the lock %s.", name);
}

// Base name of a path for failure events: the text after the last '/', or null.
inline const char* EventFileName(const char* path) {
    const char* slash = __builtin_strrchr(path, '/');
    return slash != nullptr ? slash + 1 : nullptr;
}

}  // namespace fh
