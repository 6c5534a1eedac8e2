// Fail every call in turn: for each operation, the n-th call that the library makes into the
// platform, libcurl or libc fails, for n = 1, 2, ... until the operation ends without
// reaching n. After every run the same checks hold: a failure is reported (never success
// with nothing done), nothing stays locked, the task table names exactly the progress files
// that exist, a failed download leaves no file, no share stays mounted, no temporary file
// or worker is left behind. Leaks show in the sanitizer build's exit report.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

const std::string kDir = "/var/tmp/torture";
constexpr uint32_t kNeverEnded = 0xdead0001;        // the worker ended, the task did not
const std::string kContent = RandomBytes(3000, 7);  // a few blocks of every protocol

struct Op {
    const char* name;
    const char* needs;   // the env file the operation needs ("" for none)
    uint8_t type;        // FILEHANDLE_DOWNLOAD, FILEHANDLE_UPLOAD, or 0 (no local file)
    const char* where;   // the transfer URI, or what the operation uses ({file.KEY}: Expand)
    const char* remote;  // the server's copy of the file
    // 0 or the failure it reports; null: the transfer of `type`
    std::function<uint32_t(const std::string&)> run;
};

// Starts the transfer, polls it to its end, deletes it: 0 or the failure code seen.
uint32_t Transfer(uint8_t type, const std::string& uri) {
    RedfishInfo in = UriRequest(type, kDir + "/local.bin", uri);
    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id);
    if (rc != 0 || id == 0) {
        return rc;
    }
    // Polled until it ends, or until no worker has run for a second (one that could not
    // report its end would otherwise be waited for until the time-out; libcurl may wait up
    // to its 120 s response time-out for an FTP server's last reply when a transfer is
    // stopped in its last moments).
    ComponentProcess rec{};
    for (int idle = 0, i = 0; idle < 50 && i < 6500; ++i) {
        if (FILEHANDLE_UploadDownloadProgress(id, &rec) == 0 &&
            (rec.uiStage == FILEHANDLE_STAGE_SUCCEED || rec.uiStage == FILEHANDLE_STAGE_FAILED)) {
            break;
        }
        idle = WaitForWorkers(0) ? idle + 1 : 0;
        usleep(20000);
    }
    (void)FILEHANDLE_DeleteProgressInfo(id);  // a failed delete is judged by the table check
    if (rec.uiStage == FILEHANDLE_STAGE_SUCCEED) {
        return 0;
    }
    return rec.uiStage == FILEHANDLE_STAGE_FAILED ? rec.uiResultCode : kNeverEnded;
}

uint32_t Probe(const std::string& uri) {
    uint32_t size = 0;
    RedfishInfo in = UriRequest(FILEHANDLE_DOWNLOAD, "", uri);
    uint32_t rc = FILEHANDLE_GetRemoteFileSize(&in, &size);
    return rc != 0 ? rc : size == kContent.size() ? 0 : 0xdead0002;
}

uint32_t Logo(const std::string&) {
    OperateLogOrigin origin{"Redfish", "torture", 1};
    TaskServiceTaskInfo info{};
    uint32_t rc = FILEHANDLE_UploadLogo((kDir + "/logo1.png").c_str(), &origin, &info);
    std::string installed = ReadFile("/mnt/sdmmc0p2/OEMFile/bmc/logo/logo1.png");
    return rc != 0 ? rc : installed == kContent ? 0 : 0xdead0003;
}

uint32_t List(const std::string&) {
    uint32_t id = 0;
    uint32_t rc = FILEHANLE_ClearTasksAndConfigID(&id);
    TransferTaskInfo info{};
    uint32_t listed = rc == 0 ? FILEHANDLE_GetTransferTaskInfo(&info) : rc;
    uint32_t deleted = rc == 0 ? FILEHANDLE_DeleteProgressInfo(id) : 0;
    return listed != 0 ? listed : deleted != 0 ? deleted : info.ucTaskNum == 1 ? 0 : 0xdead0004;
}

// Both directions of one protocol, to and from the same place: the URI and the server's copy.
#define FH_BOTH_WAYS(name, needs, uri, seen)                              \
    {name " download", needs, FILEHANDLE_DOWNLOAD, uri, seen, nullptr}, { \
        name " upload", needs, FILEHANDLE_UPLOAD, uri, seen, nullptr      \
    }

#define FH_LOCAL "/var/tmp/torture/other.bin"
#define FH_NONE "/var/tmp/torture/unused"
#define FH_FILE "torture.bin"

const Op kOps[] = {
    {"HTTP download", "FH_TEST_SERVERS", FILEHANDLE_DOWNLOAD, FH_HTTP_URI FH_FILE,
     FH_HTTP_DIR FH_FILE, nullptr},
    {"HTTP upload", "FH_TEST_SERVERS", FILEHANDLE_UPLOAD, FH_HTTP_UP_URI FH_FILE,
     FH_HTTP_UP_DIR FH_FILE, nullptr},
    FH_BOTH_WAYS("SFTP", "FH_SSH_FTP_ENV", FH_SFTP_URI FH_FILE, FH_SSH_DIR FH_FILE),
    FH_BOTH_WAYS("SCP", "FH_SSH_FTP_ENV", FH_SCP_URI FH_FILE, FH_SSH_DIR FH_FILE),
    FH_BOTH_WAYS("FTP", "FH_SSH_FTP_ENV", FH_FTP_URI FH_FILE, FH_SSH_DIR FH_FILE),
    FH_BOTH_WAYS("TFTP", "FH_TFTP_ENV", FH_TFTP_URI FH_FILE, FH_TFTP_DIR FH_FILE),
    FH_BOTH_WAYS("NFS", "FH_SHARE_ENV", FH_NFS_URI FH_FILE, FH_NFS_DIR FH_FILE),
    FH_BOTH_WAYS("CIFS", "FH_SHARE_ENV", FH_CIFS_URI FH_FILE, FH_CIFS_DIR FH_FILE),
    FH_BOTH_WAYS("local copy", "", FH_LOCAL, FH_LOCAL),
    {"HTTP size", "FH_TEST_SERVERS", 0, FH_HTTP_URI FH_FILE, FH_HTTP_DIR FH_FILE, Probe},
    {"FTP size", "FH_SSH_FTP_ENV", 0, FH_FTP_URI FH_FILE, FH_SSH_DIR FH_FILE, Probe},
    {"TFTP size", "FH_TFTP_ENV", 0, FH_TFTP_URI FH_FILE, FH_TFTP_DIR FH_FILE, Probe},
    {"NFS size", "FH_SHARE_ENV", 0, FH_NFS_URI FH_FILE, FH_NFS_DIR FH_FILE, Probe},
    {"logo from a local file", "", 0, FH_NONE, FH_NONE, Logo},
    {"allocate, list, delete", "", 0, FH_NONE, FH_NONE, List},
};

// What a run left behind that it should not have; empty when all is well.
// A failed removal (the seam was the removal itself) may leave the file it was to remove,
// and says so in the log; locks, slots and mounts are checked all the same.
std::string Leftovers(const Op& op, uint32_t result, const std::string& remote,
                      bool removalFailed) {
    std::string out;
    for (const char* lock : {FILEHANDLE_TASK_LOCK_NAME, "filehand_logo_upload.lock"}) {
        out += LockIsFree(lock) ? "" : std::string(lock) + " held; ";
    }
    TaskTable t = ReadTable();
    for (uint32_t i = 0; i < FILEHANDLE_THREAD_MAX; ++i) {
        uint32_t id = t.astSlot[i].uiIdentifier;
        // A file without its slot is harmless (the next allocation truncates it) and is
        // what a failed removal leaves; a slot without its file would never be freed.
        if (id != 0 && (id != i + 1 ||
                        !FileExists("/var/uploadDownload" + std::to_string(id) + ".progress"))) {
            out += "slot " + std::to_string(i + 1) + " and its file disagree; ";
        }
    }
    out += result == kNeverEnded ? "task never ended; " : "";
    if (op.type == FILEHANDLE_DOWNLOAD && FileExists(kDir + "/local.bin") != (result == 0) &&
        !(removalFailed && result != 0)) {
        out +=
            result == 0 ? "download reported without the file; " : "failed download left a file; ";
    }
    if (result == 0 && op.type == FILEHANDLE_UPLOAD && ReadFile(remote) != kContent) {
        out += "transfer reported without the data; ";
    }
    if (system("grep -q ' /var/confbup_' /proc/self/mountinfo") == 0) {
        out += "still mounted; ";
    }
    // Mount directories and credentials, HTTP staging, the logo's temporary image.
    for (const char* pattern : {"/var/confbup_*", "/var/tmp/torture/torture.bin",
                                "/mnt/sdmmc0p2/OEMFile/bmc/logo/TmpLogo"}) {
        for (const std::string& path : removalFailed ? std::vector<std::string>{} : Glob(pattern)) {
            out += "left " + path + "; ";
        }
    }
    return out;
}

class TortureTest : public FhTest {};

}  // namespace

// Minutes long: run by hand with FH_TORTURE=1 (and the servers up), not in every suite run.
TEST_F(TortureTest, FailEveryCallInTurn) {
    if (getenv("FH_TORTURE") == nullptr) {
        GTEST_SKIP() << "set FH_TORTURE=1 to run";
    }
    Env env = LoadServerEnvs();
    size_t runs = 0, ops = 0;
    for (const Op& op : kOps) {
        const char* only = getenv("FH_TORTURE_ONLY");  // one operation, by name
        if ((op.needs[0] != '\0' && getenv(op.needs) == nullptr) ||
            (only != nullptr && strcmp(only, op.name) != 0)) {
            continue;
        }
        ++ops;
        std::string where = Expand(op.where, env), remote = Expand(op.remote, env);
        const char* from = getenv("FH_TORTURE_FROM");  // the first failure point to try
        for (long n = from != nullptr ? atol(from) : 1;; ++n) {
            ResetAll();
            // What a failed removal of the previous run left (and said so) goes first.
            BMC_System(("rm -f /var/confbup_*.cred; rmdir /var/confbup_* 2>/dev/null; rm -rf " +
                        kDir + " /mnt/sdmmc0p2 && mkdir -p " + kDir +
                        " /mnt/sdmmc0p2/OEMFile/bmc " + BMC_CAPABILITY_DIR)
                           .c_str());
            WriteFile(BMC_OEM_FLAG_PATH, "3\n");
            WriteFile(std::string(BMC_CAPABILITY_DIR) + "/Customer.SupportUploadLogo", "1\n");
            WriteFile(kDir + "/logo1.png", kContent);
            WriteFile(op.type == FILEHANDLE_UPLOAD ? kDir + "/local.bin" : remote, kContent);
            if (op.type == FILEHANDLE_UPLOAD) {
                // Emptied in place and given to the owner of its folder (the server's
                // account), not removed: an NFS server that still holds the old file open
                // would take the new data into the removed one.
                struct stat dir {};
                if (truncate(remote.c_str(), 0) == 0 &&
                    stat(remote.substr(0, remote.rfind('/')).c_str(), &dir) == 0) {
                    (void)!chown(remote.c_str(), dir.st_uid, dir.st_gid);
                }
            }
            FailNth(n);
            uint32_t result = op.run ? op.run(where) : Transfer(op.type, where);
            bool reached = SeamCalls() >= n;
            std::string failed = FailedSeam();
            FailNth(0);
            ASSERT_TRUE(WaitForWorkers(130))
                << op.name << " n=" << n << " (" << failed << "): a worker still runs";
            bool removal = failed == "unlink" || failed == "remove" || failed == "rmdir" ||
                           failed == "BMC_RmFile";
            EXPECT_EQ("", Leftovers(op, result, remote, removal))
                << op.name << ", call " << n << " (" << failed << ") failed, result " << std::hex
                << result;
            ++runs;
            if (!reached) {
                EXPECT_EQ(0u, result) << op.name << ": fails with no fault injected";
                printf("torture: %-24s %3ld failure points\n", op.name, n - 1);
                break;
            }
        }
    }
    printf("torture: %zu operations, %zu runs\n", ops, runs);
}
