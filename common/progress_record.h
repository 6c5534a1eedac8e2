// The one writer of progress records, shared by the task library and the TFTP bridge
// (header only), and the hold a reporting thread keeps on its task's progress file.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/raii.h"
#include "frontend/filehandle_ulanddl.h"
#include "platform/bmc_platform.h"

namespace fh {

struct RecordWrite {
    bool locked;   // the write lock was obtained (the record is written either way)
    bool written;  // the whole record is in the file and the file is cut to it
};

// Writes `rec` in place at offset 0 and cuts the file to one record while the write lock
// is held, so that a reader holding the read lock always sees a whole record.
inline RecordWrite WriteRecordAt(int fd, const ComponentProcess& rec) {
    RecordWrite out{BRIDGE_LOCK_LTF_FILE_WRITE(fd) != -1, false};
    ssize_t n;
    do {
        n = pwrite(fd, &rec, sizeof rec, 0);
    } while (n < 0 && errno == EINTR);
    out.written = n == static_cast<ssize_t>(sizeof rec) && ftruncate(fd, sizeof rec) == 0;
    if (out.locked) {
        // Closing the descriptor drops the lock as well.
        (void)BRIDGE_UNLOCK_LTF_FILE(fd);
    }
    return out;
}

// A task's progress file, held open by the thread that reports the task's progress from
// the moment the transfer starts. The open file is the task's generation: while it is
// held, its inode cannot be given to another file, so a path that names a different inode
// belongs to a newer task of the same identifier (the old one was deleted or expired),
// and a path that names nothing belongs to a deleted task. Records go through the held
// descriptor only while the path still names it, so they never land in another task's
// file, whatever happens between the check and the write.
class HeldProgressFile {
  public:
    enum class State { kOurs, kGone, kReplaced };

    HeldProgressFile() = default;
    // Holds `path` as it is now; nothing is held if it cannot be opened.
    explicit HeldProgressFile(const char* path) {
        if (path == nullptr) {
            return;
        }
        fd_ = UniqueFd(open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (fd_.Valid() && fstat(fd_.Get(), &st) == 0 && S_ISREG(st.st_mode)) {
            dev_ = st.st_dev;
            ino_ = st.st_ino;
        } else {
            fd_.Reset();
        }
    }

    bool Held() const { return fd_.Valid(); }
    int Fd() const { return fd_.Get(); }

    // What `path` names now, measured against the held file.
    State Check(const char* path) const {
        struct stat st {};
        if (lstat(path, &st) != 0) {
            return State::kGone;
        }
        return st.st_dev == dev_ && st.st_ino == ino_ ? State::kOurs : State::kReplaced;
    }

  private:
    UniqueFd fd_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace fh
