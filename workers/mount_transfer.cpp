// NFS and CIFS: mount the share on a directory of our own with the system's mount
// command, copy the file through the mount in 1 MiB chunks, unmount and remove the
// directory.
//
// Every text of the request reaches the shell as one single-quoted word, and CIFS
// credentials that mount(8) would read as more options (',' or '"') are refused, so no
// request text acts as shell syntax or as an extra mount option. The mount directory is
// removed only once it is no longer a mount point, so a failed unmount can never lead to
// a recursive removal inside the share.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "common/fh_internal.h"
#include "common/file_size.h"
#include "common/raii.h"
#include "common/shell_quote.h"
#include "common/text_checks.h"
#include "task/progress_internal.h"
#include "workers/worker_frame.h"

using namespace fh;

namespace {

constexpr size_t kChunk = 1048576;

// Removes our mount directory with rmdir(2) alone: the kernel refuses to remove a
// directory that is still a mount point or that holds anything, so the removal can never
// reach into a share that is still mounted there.
void RemoveMountDir(const std::string& dir) {
    if (rmdir(dir.c_str()) != 0) {
        FH_LOG(BMC_LOG_ERROR, "%s not removed: %s; left in place.", dir.c_str(), strerror(errno));
    }
}

// The mount directory is ours to use only if it is a real directory (not a link to one)
// owned by this process's user, with nothing mounted on it: one that another user made
// or planted is refused, and so is one on which the share of an older task with the same
// identifier is still mounted (its device differs from its parent's).
bool MountDirUsable(const char* dir) {
    struct stat st {};
    if (lstat(dir, &st) != 0 && (errno != ENOENT || BMC_Mkdir(dir) < 0 || lstat(dir, &st) != 0)) {
        return false;
    }
    std::string parent(dir, static_cast<size_t>(strrchr(dir, '/') - dir));
    struct stat up {};
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           lstat(parent.empty() ? "/" : parent.c_str(), &up) == 0 && up.st_dev == st.st_dev;
}

// Characters that mount(8) reads inside an option list: a ',' starts another option, a
// '"' quotes, and control characters have no place in a credential.
bool SafeOptionValue(const char* text) {
    return strpbrk(text, ",\"") == nullptr && !HasControl(text);
}

// The share decides what its files are: none of them may act as a setuid program, a device
// or an executable on the controller.
constexpr const char* kNoPrivileges = "nosuid,nodev,noexec,";

// CIFS credentials travel to mount(8) in a file of the owner's only beside the mount
// directory, removed as soon as mount has read it: a command line can be read by every
// process in /proc.
class CredentialsFile {
  public:
    explicit CredentialsFile(const std::string& mountDir) : path_(mountDir + ".cred") {}
    ~CredentialsFile() {
        if (created_ && unlink(path_.c_str()) != 0) {
            FH_LOG(BMC_LOG_ERROR, "Could not remove %s.", path_.c_str());
        }
    }
    CredentialsFile(const CredentialsFile&) = delete;
    CredentialsFile& operator=(const CredentialsFile&) = delete;

    // A file left by a process that died, or planted, is removed first; never followed.
    bool Write(const ComponentInfo& q) {
        (void)unlink(path_.c_str());  // usually nothing there
        UniqueFd fd(
            open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.Valid()) {
            return false;
        }
        created_ = true;
        std::string text =
            std::string("username=") + q.szUserName + "\npassword=" + q.szPassword + "\n";
        bool ok = write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
        std::fill(text.begin(), text.end(), '\0');
        return fd.Close() == 0 && ok;
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    bool created_ = false;
};

// The mount command for the request. `credentials` is the CIFS credentials file.
std::string MountCommand(const ComponentInfo& q, const std::string& shareDir,
                         const std::string& mountDir, const std::string& credentials) {
    std::string port = q.uiPort != 0 ? "port=" + std::to_string(q.uiPort) + "," : "";
    if (q.ucProtocolType == FILEHANDLE_PROTOCOL_CIFS) {
        std::string options = std::string("nolock,") + kNoPrivileges + port +
                              "soft,noserverino,credentials=" + credentials;
        return "mount -t cifs -o " + ShellQuote(options) + " " +
               ShellQuote(std::string("//") + q.szIpAdress + shareDir) + " " + ShellQuote(mountDir);
    }
    std::string options = std::string("nolock,") + kNoPrivileges +
                          (q.uiPort != 0 ? "port=" + std::to_string(q.uiPort) : "");
    if (options.back() == ',') {
        options.pop_back();
    }
    return "mount -t nfs -o " + options + " " +
           ShellQuote(std::string(q.szIpAdress) + ":" + shareDir) + " " + ShellQuote(mountDir);
}

// Mounts the request's share on `mountDir`; false when it could not be mounted, or when a
// CIFS user name or password would be read by mount(8) as more than itself.
bool MountShare(const ComponentInfo& q, const std::string& shareDir, const std::string& mountDir) {
    CredentialsFile credentials(mountDir);
    if (q.ucProtocolType == FILEHANDLE_PROTOCOL_CIFS) {
        if (!SafeOptionValue(q.szUserName) || !SafeOptionValue(q.szPassword)) {
            FH_LOG(BMC_LOG_ERROR,
                   "CIFS user name or password holds ',', '\"' or a control character.");
            return false;
        }
        if (!credentials.Write(q)) {
            FH_LOG(BMC_LOG_ERROR, "Could not write %s.", credentials.Path().c_str());
            return false;
        }
    }
    return BMC_System(MountCommand(q, shareDir, mountDir, credentials.Path()).c_str()) == 0;
}

// How a copy's source is read.
enum class ReadAhead { kDefault, kSequential };

// How data moves through each kind of share, chosen by measuring against cp through the
// same mount (bench/run.sh). From a CIFS share the file is read with sequential
// advice (the kernel's read-ahead doubles) in 128 KiB pieces, as cp does: whole 1 MiB
// reads without advice were slower. Writes to it move whole chunks, which beat 128 KiB
// ones. Through NFS, whose mounts prefer 1 MiB I/O, whole chunks move with the kernel's
// default read-ahead: there the advice, or a stat of the open file, made reads several
// times slower. The 1 MiB chunk stays the unit of progress.
struct CopyStyle {
    size_t piece;
    ReadAhead readAhead;
};
constexpr size_t kCifsReadPiece = 131072;

CopyStyle StyleFor(bool cifs, bool upload) {
    if (!cifs) {
        return {kChunk, ReadAhead::kDefault};
    }
    return {upload ? kChunk : kCifsReadPiece, ReadAhead::kSequential};
}

// Flags of every open of a file on the share. The share decides what stands in the mount
// directory: a symbolic link there is never followed, and a FIFO that no one feeds cannot
// hold the open (device nodes are dead under nodev).
constexpr int kOnShare = O_NOFOLLOW | O_NONBLOCK;

// Opens a local or remote file; a file of 2^31 bytes or more, or one whose size cannot be
// taken (a FIFO, a socket), is refused like one that cannot be opened (sizes are 32-bit,
// as on the controller). Sets `size` when reading.
UniqueFile OpenFile(const std::string& path, int flags, const char* mode, long* size,
                    ReadAhead readAhead = ReadAhead::kDefault) {
    UniqueFile f = OpenStream(path.c_str(), flags, mode);
    if (!f) {
        return f;
    }
    if ((flags & O_NONBLOCK) != 0) {
        // O_NONBLOCK is for the open alone: the copy itself waits for its data.
        int fd = fileno(f.Get());
        int status = fcntl(fd, F_GETFL);
        if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
            return UniqueFile();
        }
    }
    // The copy moves pieces of 128 KiB or more, so stdio's buffer adds nothing; worse, a
    // buffered seek to the end and back left reads through a FUSE NFS mount several
    // times slower (bench/run.sh). Unbuffered, fread and fwrite go straight through.
    setvbuf(f.Get(), nullptr, _IONBF, 0);
    if (size == nullptr) {
        return f;
    }
    if (readAhead == ReadAhead::kSequential) {
        (void)posix_fadvise(fileno(f.Get()), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    *size = StreamSize32(f.Get());
    return *size < 0 ? UniqueFile() : std::move(f);
}

void CloseLogged(UniqueFile& f, const char* func) {
    if (f.Close() != 0) {
        FH_LOG_CLOSE_FAILED(func);
    }
}

// What one mount transfer holds: the mount directory (removed on the way out) and
// whether the share is mounted on it (unmounted first).
class ShareMount {
  public:
    explicit ShareMount(std::string dir) : dir_(std::move(dir)) {}
    ~ShareMount() {
        if (mounted_) {
            UMOUNT_UploadDownloadClean(dir_.c_str());
        } else if (owned_) {
            RemoveMountDir(dir_);
        }
    }
    ShareMount(const ShareMount&) = delete;
    ShareMount& operator=(const ShareMount&) = delete;
    const std::string& Dir() const { return dir_; }
    void Own() { owned_ = true; }
    void Mounted() { mounted_ = true; }
    void Detached() { mounted_ = false; }  // no longer in the tree: the directory is bare

  private:
    std::string dir_;
    bool owned_ = false;
    bool mounted_ = false;
};

// A share that stops answering would hold the copy in a read or write for good: the NFS
// mount is a hard one, and the process cannot interrupt such a call. StallWatch stands
// beside a copy through a mount and unmounts the share by force (MNT_FORCE, which fails
// every call waiting on it at once) when no piece has moved for kStallSeconds, or for 5 s
// once the task's progress file is removed or replaced (the task was deleted; a share that
// still moves data ends the copy itself at the next chunk). The copy then fails like any
// short copy. A watch that cannot start leaves the copy unwatched.
class StallWatch {
  public:
    static constexpr int kStallSeconds = 60;
    StallWatch(std::string dir, const char* progressPath)
        : dir_(std::move(dir)), progress_(progressPath) {
        struct stat st {};
        if (stat(progress_.c_str(), &st) == 0) {
            dev_ = st.st_dev;
            ino_ = st.st_ino;
        }
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) {
            FH_LOG(BMC_LOG_ERROR, "No stall watch for %s.", dir_.c_str());
            return;
        }
        (void)pthread_attr_setstacksize(&attr, 256 * 1024);  // a hint: the default also works
        started_ = pthread_create(&thread_, &attr, Run, this) == 0;
        (void)pthread_attr_destroy(&attr);  // cannot fail on an initialised attribute
        if (!started_) {
            FH_LOG(BMC_LOG_ERROR, "No stall watch for %s.", dir_.c_str());
        }
    }
    ~StallWatch() { (void)Finish(); }
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    void Moved() { moved_.fetch_add(1, std::memory_order_relaxed); }
    // Ends the watch at once; whether it detached the share.
    bool Finish() {
        {
            std::lock_guard<std::mutex> hold(m_);
            done_ = true;
        }
        cv_.notify_one();
        if (started_) {
            (void)pthread_join(thread_, nullptr);  // ours and joinable: cannot fail
            started_ = false;
        }
        return detached_.load();
    }

  private:
    bool TaskDeleted() const {
        struct stat st {};
        return ino_ != 0 &&
               (stat(progress_.c_str(), &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_);
    }
    // Forces the share off: the system call, not umount(8), whose lookup of the directory
    // would wait on the stalled share like the copy. MNT_FORCE fails the waiting calls
    // even where the unmount must wait for the copy's files to close (EBUSY); MNT_DETACH
    // then takes the share out of the tree, so that nothing after the copy (the removal of
    // a partial upload, the unmount) goes back to it and waits again.
    void Force(const char* why) {
        FH_LOG(BMC_LOG_ERROR, "%s: %s; unmounting it by force.", dir_.c_str(), why);
        if (umount2(dir_.c_str(), MNT_FORCE) != 0 && errno != EBUSY) {
            FH_LOG(BMC_LOG_ERROR, "Forced unmount of %s failed: %s.", dir_.c_str(),
                   strerror(errno));
        }
        if (umount2(dir_.c_str(), MNT_DETACH) == 0) {
            detached_.store(true);
        } else {
            FH_LOG(BMC_LOG_ERROR, "Detaching %s failed: %s.", dir_.c_str(), strerror(errno));
        }
    }
    // Looks ten times a second; Finish wakes it at once.
    static void* Run(void* self) {
        auto* w = static_cast<StallWatch*>(self);
        uint64_t seen = 0;
        int quiet = 0;  // tenths of a second without a piece moved
        std::unique_lock<std::mutex> lock(w->m_);
        while (!w->cv_.wait_for(lock, std::chrono::milliseconds(100), [w] { return w->done_; })) {
            uint64_t now = w->moved_.load(std::memory_order_relaxed);
            quiet = now == seen ? quiet + 1 : 0;
            seen = now;
            if (quiet >= kStallSeconds * 10) {
                char why[48];
                BMC_Scnprintf(why, sizeof why, "no data moved for %d s", kStallSeconds);
                w->Force(why);
                break;
            }
            if (quiet >= 50 && quiet % 10 == 0 && w->TaskDeleted()) {
                w->Force("task deleted");
                break;
            }
        }
        return nullptr;
    }
    std::string dir_;
    std::string progress_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;  // under m_
    std::atomic<bool> detached_{false};
    std::atomic<uint64_t> moved_{0};
    pthread_t thread_{};
    bool started_ = false;
};

// The chunked copy with progress; each chunk moves in pieces of `pieceSize` bytes, each
// written as soon as it is read.
// Its null-pointer reports name MOUNT_FileReadWrite, the exported call whose copy it is.
uint32_t CopyInPieces(FILE* pstFdRead, FILE* pstFdWrite, const char* pcProgressFilePath,
                      uint32_t size, size_t pieceSize, StallWatch* watch = nullptr) {
    const char* func = "MOUNT_FileReadWrite";
    if (pstFdRead == nullptr) {
        FH_LOG_NULL_AS("pstFdRead", func);
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    if (pstFdWrite == nullptr) {
        FH_LOG_NULL_AS("pstFdWrite", func);
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    if (pcProgressFilePath == nullptr) {
        FH_LOG_NULL_AS("pcProgressFilePath", func);
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    MallocPtr<char> buffer(static_cast<char*>(malloc(kChunk)));
    if (!buffer) {
        FH_LOG(BMC_LOG_ERROR, "malloc failed.");
        return FILEHANDLE_E_TRANSFER_FAILED;
    }
    uint64_t copied = 0;
    while (copied < size) {
        size_t chunk = static_cast<size_t>(size - copied < kChunk ? size - copied : kChunk);
        for (size_t done = 0; done < chunk;) {
            char* piece = buffer.Get() + done;
            size_t want = chunk - done < pieceSize ? chunk - done : pieceSize;
            if (fread(piece, 1, want, pstFdRead) != want) {
                FH_LOG(BMC_LOG_ERROR, "fread failed");
                return FILEHANDLE_E_SHORT_COPY;
            }
            size_t written = fwrite(piece, 1, want, pstFdWrite);
            copied += written;
            done += written;
            if (watch != nullptr) {
                watch->Moved();
            }
            if (written != want) {
                FH_LOG(BMC_LOG_ERROR, "fwrite failed");
                return FILEHANDLE_E_SHORT_COPY;
            }
        }
        ComponentProcess rec{};
        rec.uiStage = FILEHANDLE_STAGE_TRANSFERRING;
        rec.ucPercent = static_cast<uint8_t>(copied * 100 / size);
        BMC_Strlcpy(rec.szDescription, "File transfer....", sizeof rec.szDescription);
        if (TaskGone(WriteTaskProgress(&rec, pcProgressFilePath))) {
            FH_LOG(BMC_LOG_ERROR, "Task of %s deleted; the copy stops.", pcProgressFilePath);
            return FILEHANDLE_E_SHORT_COPY;
        }
    }
    return FILEHANDLE_OK;
}

}  // namespace

extern "C" void UMOUNT_UploadDownloadClean(const char* pcMountFilePath) {
    if (pcMountFilePath == nullptr) {
        FH_LOG_NULL("pcMountFilePath");
        return;
    }
    const std::string quoted = ShellQuote(pcMountFilePath);
    int rc = BMC_System(("umount " + quoted).c_str());
    if (rc != 0) {
        // Retried as a lazy unmount: the share leaves the directory at once and is let go
        // when its last user is done. Should that fail too, the directory stays a mount
        // point, RemoveMountDir leaves it in place, and no later task mounts over it.
        FH_LOG(BMC_LOG_ERROR, "umount %s failed: %d.", pcMountFilePath, rc);
        rc = BMC_System(("umount -l " + quoted).c_str());
        if (rc != 0) {
            FH_LOG(BMC_LOG_ERROR, "umount -l %s failed: %d.", pcMountFilePath, rc);
        }
    }
    RemoveMountDir(pcMountFilePath);
}

extern "C" uint32_t MOUNT_FileReadWrite(FILE* pstFdRead, FILE* pstFdWrite,
                                        const char* pcProgressFilePath, uint32_t size) {
    return CopyInPieces(pstFdRead, pstFdWrite, pcProgressFilePath, size, kChunk);
}

extern "C" uint32_t MOUNT_UploadDownloadFile(ComponentInfo* pstComponentInfo,
                                             const char* pcProgressFilePath, char* pcTaskDesc) {
    if (pstComponentInfo == nullptr) {
        FH_LOG_NULL("pstComponentInfo");
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    if (pcProgressFilePath == nullptr) {
        FH_LOG_NULL("pcProgressFilePath");
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    if (pcTaskDesc == nullptr) {
        FH_LOG_NULL("pcTaskDesc");
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    const ComponentInfo& q = *pstComponentInfo;
    const char* func = "MOUNT_UploadDownloadFile";
    char dirBuf[64];
    BMC_Scnprintf(dirBuf, sizeof dirBuf, "/var/confbup_tmp%u", q.uiIdentifier);
    ShareMount mount(dirBuf);
    if (!MountDirUsable(dirBuf)) {
        FH_LOG(BMC_LOG_ERROR, "Make dir %s failed.", dirBuf);
        BMC_Strlcpy(pcTaskDesc,
                    "File download or upload failed, because: Failed to create mount directory",
                    kDescSize);
        return FILEHANDLE_E_TRANSFER_FAILED;
    }
    mount.Own();
    const char* slash = strrchr(q.szStorageAddress, '/');
    if (slash == nullptr) {
        BMC_Scnprintf(pcTaskDesc, kDescSize,
                      "File download or upload failed, because: %s parsing failed",
                      q.szStorageAddress);
        FH_LOG(BMC_LOG_ERROR, "strrchr dir %s failed.", q.szStorageAddress);
        return FILEHANDLE_E_PARAMETER;
    }
    std::string shareDir(q.szStorageAddress, static_cast<size_t>(slash - q.szStorageAddress));
    std::string fileName(slash + 1);
    if (shareDir.size() > 1023 || fileName.size() > 255) {
        BMC_Scnprintf(pcTaskDesc, kDescSize,
                      "File download or upload failed, because: %s parsing failed",
                      q.szStorageAddress);
        FH_LOG(BMC_LOG_ERROR, "strrchr dir %s failed.", q.szStorageAddress);
        return FILEHANDLE_E_PARAMETER;
    }
    bool cifs = q.ucProtocolType == FILEHANDLE_PROTOCOL_CIFS;
    bool share = cifs || q.ucProtocolType == FILEHANDLE_PROTOCOL_NFS;  // else a local copy
    if (share) {
        if (!MountShare(q, shareDir, mount.Dir())) {
            BMC_Strlcpy(pcTaskDesc,
                        cifs ? "File download or upload failed,because:CIFS mount failed"
                             : "File download or upload failed,because:NFS mount failed",
                        kDescSize);
            FH_LOG(BMC_LOG_ERROR, "%s", cifs ? "CIFS mount failed." : "NFS mount failed.");
            return FILEHANDLE_E_MOUNT_FAILED;
        }
        mount.Mounted();
    }
    std::string remote = mount.Dir() + "/" + fileName;
    bool upload = q.ucHandleType == FILEHANDLE_UPLOAD;
    if (!upload && q.ucHandleType != FILEHANDLE_DOWNLOAD) {
        return FILEHANDLE_OK;  // nothing to copy
    }
    const std::string& srcPath = upload ? std::string(q.szReadAddress) : remote;
    const std::string dstPath = upload ? remote : std::string(q.szReadAddress);
    long size = 0;
    const CopyStyle style = StyleFor(cifs, upload);
    // Files on the share open with kOnShare; the local destination, too, is never opened
    // through a symbolic link.
    UniqueFile src =
        OpenFile(srcPath, upload ? O_RDONLY : O_RDONLY | kOnShare, "r", &size, style.readAhead);
    if (!src) {
        BMC_Scnprintf(pcTaskDesc, kDescSize,
                      "File download or upload failed,because:%s file open failed",
                      srcPath.c_str());
        FH_LOG(BMC_LOG_ERROR, "%s open failed.", srcPath.c_str());
        return upload ? FILEHANDLE_E_LOCAL_FILE : FILEHANDLE_E_REMOTE_NOT_FOUND;
    }
    UniqueFile dst = OpenFile(
        dstPath, O_RDWR | O_CREAT | O_TRUNC | (upload ? kOnShare : O_NOFOLLOW), "w+", nullptr);
    if (!dst) {
        BMC_Scnprintf(pcTaskDesc, kDescSize,
                      upload ? "File download or upload failed,because:%s file open failed"
                             : "File download or upload failed, because: %s file open failed",
                      dstPath.c_str());
        CloseLogged(src, func);
        FH_LOG(BMC_LOG_ERROR, "%s open failed.", dstPath.c_str());
        return FILEHANDLE_E_LOCAL_FILE;
    }
    // Only a mounted share can stall; a local copy needs no watch. The watch stands until
    // both files are closed: closing a file on the share writes what it still holds.
    std::unique_ptr<StallWatch> watch;
    if (share) {
        watch.reset(new (std::nothrow) StallWatch(mount.Dir(), pcProgressFilePath));
    }
    uint32_t result = CopyInPieces(src.Get(), dst.Get(), pcProgressFilePath,
                                   static_cast<uint32_t>(size), style.piece, watch.get());
    if (result != FILEHANDLE_OK) {
        BMC_Strlcpy(pcTaskDesc, "File download or upload failed, because: file ReadWrite failed",
                    kDescSize);
    }
    CloseLogged(src, func);
    if (dst.Close() != 0) {
        FH_LOG_CLOSE_FAILED(func);
        if (result == FILEHANDLE_OK) {
            // The data may not have reached the file: a copy that cannot be closed failed.
            BMC_Strlcpy(pcTaskDesc,
                        "File download or upload failed, because: file ReadWrite failed",
                        kDescSize);
            result = FILEHANDLE_E_SHORT_COPY;
        }
    }
    if (watch && watch->Finish()) {
        mount.Detached();
    }
    if (result != FILEHANDLE_OK) {
        // A partial file must not pass for a complete one: it is removed, on the share as
        // locally (it is the file this transfer wrote, never an unrelated one).
        if (unlink(dstPath.c_str()) != 0) {
            FH_LOG(BMC_LOG_ERROR, "%s not removed: %s.", dstPath.c_str(), strerror(errno));
        }
    }
    return result;
}

extern "C" uint32_t Mount_GetRemoteFileSize(ComponentInfo* pstComponentInfo, int32_t* piFileSize) {
    if (pstComponentInfo == nullptr) {
        FH_LOG_NULL("pstComponentInfo");
        return FILEHANDLE_IN_NULL_POINTER;
    }
    if (piFileSize == nullptr) {
        FH_LOG_NULL("piFileSize");
        return FILEHANDLE_IN_NULL_POINTER;
    }
    const ComponentInfo& q = *pstComponentInfo;
    std::string dir;
    for (int n = 0; n < 10 && dir.empty(); ++n) {
        char path[64];
        BMC_Scnprintf(path, sizeof path, "/var/confbup_temp%d", n);
        if (access(path, F_OK) == 0) {
            continue;
        }
        if (BMC_Mkdir(path) == 0) {
            dir = path;
        } else {
            FH_LOG(BMC_LOG_INFO, "Make dir %s failed.", path);
        }
    }
    if (dir.empty()) {
        FH_LOG(BMC_LOG_ERROR, "Create psu sub dir failed.");
        return FILEHANDLE_FAILED;
    }
    ShareMount mount(dir);
    mount.Own();
    const char* slash = strrchr(q.szStorageAddress, '/');
    if (slash == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "strrchr dir %s failed.", q.szStorageAddress);
        return FILEHANDLE_IN_BAD_ARGUMENT;
    }
    std::string shareDir(q.szStorageAddress, static_cast<size_t>(slash - q.szStorageAddress));
    bool cifs = q.ucProtocolType == FILEHANDLE_PROTOCOL_CIFS;
    if (cifs || q.ucProtocolType == FILEHANDLE_PROTOCOL_NFS) {
        if (!MountShare(q, shareDir, dir)) {
            FH_LOG(BMC_LOG_ERROR, "%s", cifs ? "CIFS mount failed.\n" : "NFS mount failed.\n");
            return FILEHANDLE_FAILED;
        }
        mount.Mounted();
    }
    std::string path = dir + "/" + (slash + 1);
    UniqueFile f = OpenStream(path.c_str(), O_RDONLY | kOnShare, "r");
    if (!f) {
        FH_LOG(BMC_LOG_ERROR, "%s open failed", path.c_str());
        return FILEHANDLE_IN_LOCAL_FILE;
    }
    uint32_t result = FILEHANDLE_OK;
    long size = StreamSize32(f.Get());
    if (size < 0) {
        FH_LOG(BMC_LOG_ERROR, "%s ftell failed", path.c_str());
        size = 0;
        result = FILEHANDLE_IN_LOCAL_FILE;
    }
    CloseLogged(f, "Mount_GetRemoteFileSize");
    *piFileSize = static_cast<int32_t>(size);
    return result;
}

namespace fh {

void RunMountMember(const WorkerMember& m, ComponentInfo* req, const char* progressFile, char* desc,
                    const char* baseName, ComponentProcess* rec) {
    uint32_t r = MOUNT_UploadDownloadFile(req, progressFile, desc);
    if (!ValidHandleType(req->ucHandleType)) {
        // Nothing was copied: the task failed, whatever the mount did.
        ReportInvalidType(m, req->ucHandleType, desc);
        SetFailed(rec, FILEHANDLE_E_PARAMETER, desc);
        return;
    }
    SetOutcome(rec, r, desc, baseName);
}

}  // namespace fh
