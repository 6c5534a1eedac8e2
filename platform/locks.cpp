// Named inter-process locks and the per-file read/write locks.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "platform/bmc_platform.h"
#include "platform/platform_internal.h"

// The handle is the lock file's descriptor plus one, so that 0 stays "no lock". flock(2)
// belongs to the open file description: every acquisition opens the file anew, so two
// threads of one process exclude each other just as two processes do, and the kernel
// drops the lock when its holder dies.
extern "C" int BMC_FileLock_AcquireLock(const char* name, BMC_LOCK_HANDLE* handle) {
    if (name == nullptr || handle == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr) {
        return -1;
    }
    std::string path = std::string(BMC_LOCK_DIR) + "/" + name;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && bmc::MakeDirs(BMC_LOCK_DIR)) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    }
    if (fd < 0) {
        return -1;
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
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

int SetOfdLock(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;  // whole file: start 0, length 0
    int rc;
    do {
        rc = fcntl(fd, F_OFD_SETLKW, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
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
