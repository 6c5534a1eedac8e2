// The guard of a named inter-process lock, for the task library and the platform alike.
#pragma once

#include "platform/bmc_platform.h"

namespace fh {

// Holds a named inter-process lock for its lifetime. A lock that could not be taken (its
// wait ran out, or its file could not be opened) is not held, and `onFailure` (when given)
// hears of it: the caller fails instead of going on unlocked.
class NamedLock {
  public:
    explicit NamedLock(const char* name, void (*onFailure)(const char* name) = nullptr) {
        if (BMC_FileLock_AcquireLock(name, &handle_) != 0) {
            handle_ = 0;
            if (onFailure != nullptr) {
                onFailure(name);
            }
        }
    }
    ~NamedLock() { Release(); }
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    bool Held() const { return handle_ != 0; }
    void Release() {
        if (handle_ != 0) {
            // Nothing to do if the release fails: the descriptor is closed either way.
            (void)BMC_FileLock_ReleaseLock(handle_);
            handle_ = 0;
        }
    }

  private:
    BMC_LOCK_HANDLE handle_ = 0;
};

}  // namespace fh
