// Named inter-process locks and the per-file read/write locks.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/bmc_platform.h"
#include "platform/platform_internal.h"

namespace {

// How long a named lock or a progress-file lock is waited for before the call fails. The
// longest a well-behaved holder keeps the task-table lock is the expiry's scan of ten
// progress files, each read retried for about 1.2 s when it cannot be read.
constexpr int kNamedLockWaitMs = 15000;
constexpr int kFileLockWaitMs = 1000;
constexpr int kPollMs = 5;

// Opens the lock file without following a symbolic link. A lock file must be a plain file
// of ours that nobody else can open: one that another user planted (to hold it, or to make
// us write through a link) is removed and made afresh.
int OpenLockFile(const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == ENOENT && bmc::MakeDirs(BMC_LOCK_DIR)) {
            fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        }
        struct stat st {};
        // Not opened: a link (ELOOP, or EACCES where the kernel guards links in shared
        // directories) is replaced; a file of ours that cannot be opened is a real failure.
        if (fd < 0 &&
            (lstat(path.c_str(), &st) != 0 || (S_ISREG(st.st_mode) && st.st_uid == geteuid()))) {
            return -1;
        }
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            (st.st_mode & 077) == 0) {
            return fd;
        }
        if (fd >= 0) {
            close(fd);
        }
        if (unlink(path.c_str()) != 0) {
            return -1;
        }
    }
    return -1;
}

// Retries a non-blocking lock call until it succeeds or the wait runs out.
template <typename Try>
int WaitFor(int waitMs, Try tryLock) {
    for (int waited = 0;; waited += kPollMs) {
        if (tryLock() == 0) {
            return 0;
        }
        if ((errno != EWOULDBLOCK && errno != EAGAIN && errno != EACCES && errno != EINTR) ||
            waited >= waitMs) {
            return -1;
        }
        usleep(kPollMs * 1000);
    }
}

}  // namespace

// The handle is the lock file's descriptor plus one, so that 0 stays "no lock". flock(2)
// belongs to the open file description: every acquisition opens the file anew, so two
// threads of one process exclude each other just as two processes do, and the kernel
// drops the lock when its holder dies. A lock not obtained within kNamedLockWaitMs fails.
extern "C" int BMC_FileLock_AcquireLock(const char* name, BMC_LOCK_HANDLE* handle) {
    if (name == nullptr || handle == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr) {
        return -1;
    }
    int fd = OpenLockFile(std::string(BMC_LOCK_DIR) + "/" + name);
    if (fd < 0) {
        return -1;
    }
    if (WaitFor(kNamedLockWaitMs, [fd] { return flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        close(fd);
        return -1;
    }
    *handle = fd + 1;
    return 0;
}

extern "C" int BMC_FileLock_ReleaseLock(BMC_LOCK_HANDLE handle) {
    if (handle <= 0) {
        return -1;
    }
    int fd = handle - 1;
    flock(fd, LOCK_UN);
    return close(fd);
}

namespace {

// Whole-file lock (start 0, length 0); a lock held by another for kFileLockWaitMs is not
// obtained (-1), and the callers then do what they do for a refused lock.
int SetOfdLock(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return WaitFor(kFileLockWaitMs, [&] { return fcntl(fd, F_OFD_SETLK, &fl); });
}

}  // namespace

extern "C" int BRIDGE_LOCK_LTF_FILE_WRITE(int fd) {
    return SetOfdLock(fd, F_WRLCK);
}
extern "C" int BRIDGE_LOCK_LTF_FILE_READ(int fd) {
    return SetOfdLock(fd, F_RDLCK);
}
extern "C" int BRIDGE_UNLOCK_LTF_FILE(int fd) {
    return SetOfdLock(fd, F_UNLCK);
}
