// Starters and thread bodies of the transfer workers.
#include "workers/worker_frame.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "common/raii.h"
#include "task/progress_internal.h"
#include "task/task_table.h"

namespace fh {
const WorkerMember kHttpMember = {
    {"HTTP_UploadDownloadFile", "Create HTTP Upload Downloadf file thread failed",
     "Create HTTP Upload Downloadf file thread succrss"},
    {"HttpThread", HttpThread, "HttpThread:pArg is NULL.", "HttpThread: pDb is NULL.",
     "HttpThread set thread name failed!", "ulIdentifier is 0 or FILEHANDLE_THREAD_MAX.",
     "Error in getting file pathinfo from DB, iRet: %d.",
     "Error in getting file pathinfo from DB, uiIdentifier: %u."},
    {RunCurlMember, HTTP_DownLoadFileByCurl, HTTP_UploadFileByCurl,
     "%s: DownLoadFileByCurl Failed!", "%s: UploadFileByCurl Failed!"},
    {"File download or upload failed, because: http connection parameter parsing error",
     "ucHandleType: %d, Invalid cmd.", false},
};

const WorkerMember kSftpMember = {
    {"SFTP_UploadDownloadFile", "Create SFTO Upload Downloadf file thread failed",
     "Create SFTP Upload Downloadf file thread succrss"},
    {"SftpThread", SftpThread, "SftpThread:pArg is NULL.", "SftpThread: pDb is NULL.",
     "SftpThread set thread name failed!", "uiIdentifier is 0 or FILEHANDLE_THREAD_MAX.",
     "Error in getting file pathinfo from DB, iRet: %d.",
     "Error in getting file pathinfo from DB, uiIdentifier: %u."},
    {RunCurlMember, SFTP_DownLoadFileByCurl, SFTP_UploadFileByCurl,
     "%s: SFTP_DownLoadFileByCurl Failed!", "%s: SFTP_UploadFileByCurl Failed!"},
    {"File download or upload failed,because:sftp connection parameter parsing error",
     "ucHandleType: %d, Invalid cmd.", true},
};

const WorkerMember kScpMember = {
    // The thread's first three texts follow the wording of the other members.
    {"SCP_UploadDownloadFile", "Create Scp Upload Download file thread failed",
     "Create Scp Upload Download file thread success"},
    {"ScpThread", ScpThread, "ScpThread:pArg is NULL.", "ScpThread: pDb is NULL.",
     "ScpThread set thread name failed!", "ulIdentifier is 0 or FILEHANDLE_THREAD_MAX",
     "Error in getting file pathinfo from DB, iRet: %d",
     "Error in getting file pathinfo from DB, ulIdentifier: %d"},
    {RunCurlMember, SCP_DownLoadFileByCurl, SCP_UploadFileByCurl,
     "%s:SCP_DownLoadFileByCurl Failed!", "%s:SCP_UploadFileByCurl Failed!"},
    {"File download or upload failed,because:scp connection parameter parsing err",
     "ucHandleType: %d,Invalid cmd.", true},
};

const WorkerMember kFtpMember = {
    {"FTP_UploadDownloadFile", "Create FTP Upload Download file thread failed",
     "Create FTP Upload Download file thread success"},
    {"FtpThread", FtpThread, "FTPThread:pArg is NULL.", "FTPThread: pDb is NULL.",
     "FTPThread set thread name failed!", "ulIdentifier is 0 or FILEHANDLE_THREAD_MAX",
     "Error in getting file pathinfo from DB, iRet: %d",
     "Error in getting file pathinfo from DB, ulIdentifier: %d"},
    {RunCurlMember, FTP_DownLoadFileByCurl, FTP_UploadFileByCurl,
     "%s:FTP_DownLoadFileByCurl Failed!", "%s:FTP_UploadFileByCurl Failed!"},
    {"File download or upload failed,because:ftp connection parameter parsing error",
     "ucHandleType: %d,Invalid cmd.", true},
};

const WorkerMember kTftpMember = {
    {"TFTP_UploadDownloadFile", "Create TFTP Upload Downloadf file thread failed",
     "Create TFTP Upload Downloadf file thread succrss"},
    {"TftpThread", TftpThread, "TftpThread:pArg is NULL.", "TftpThread: pDb is NULL.",
     "TftpThread set thread name failed!", "ulIdentifier is 0 or FILEHANDLE_THREAD_MAX.",
     "Error in getting file pathinfo from DB, iRet: %d.",
     "Error in getting file pathinfo from DB, ulIdentifier: %u."},
    {RunTftpMember, nullptr, nullptr, nullptr, nullptr},
    {"File download or upload failed, because: connection parameter parsing error",
     "ucHandleType: %d, Invalid cmd.", true},
};

const WorkerMember kMountMember = {
    {"Mount_CIFSNFSUploadDownloadFile", "Create NFS or CIFS Upload Downloadf file thread failed",
     "Create NFS or CIFS Upload Downloadf file thread succrss"},
    {"MountThread", MountThread, "MountThread:pArg is NULL.", "MountThread: pDb is NULL.",
     "MountThread set thread name failed!", "ulIdentifier is 0 or FILEHANDLE_THREAD_MAX.",
     "Error in getting file pathinfo from DB, iRet: %d",
     "Error in getting file pathinfo from DB, uiIdentifier: %u."},
    {RunMountMember, nullptr, nullptr, nullptr, nullptr},
    {"File download or upload failed,because:connection parameter parsing error",
     "ucHandleType: %d, Invalid cmd.", true},
};

namespace {

template <size_t N>
void Terminate(char (&text)[N]) {
    text[N - 1] = '\0';
}

// Runs `attempt` until it succeeds, again after 0.1, 0.2, 0.4 and 0.8 s. For the worker's
// own steps that a busy database or a full flash can fail for a moment, where giving up
// would leave the task without its end until it expires.
template <typename Fn>
bool WithRetries(Fn attempt) {
    for (int i = 0;; ++i) {
        if (attempt()) {
            return true;
        }
        if (i == 4) {
            return false;
        }
        usleep(100000u << i);
    }
}

// Binds the worker thread to its progress file, and unbinds it on every way out.
struct ProgressBinding {
    explicit ProgressBinding(const char* path)
        : held(WithRetries([path] { return BindProgressFileToThread(path); })) {}
    ~ProgressBinding() { UnbindProgressFileFromThread(); }
    const bool held;
    ProgressBinding(const ProgressBinding&) = delete;
    ProgressBinding& operator=(const ProgressBinding&) = delete;
};

}  // namespace

void SetSucceeded(ComponentProcess* rec) {
    rec->uiStage = FILEHANDLE_STAGE_SUCCEED;
    rec->ucPercent = 100;
    BMC_Strlcpy(rec->szDescription, "File download or upload success", kDescSize);
}

void SetFailed(ComponentProcess* rec, uint32_t code, const char* desc) {
    rec->uiStage = FILEHANDLE_STAGE_FAILED;
    rec->uiResultCode = code;
    rec->ucPercent = 0;
    memcpy(rec->szDescription, desc, kDescSize);
    rec->szDescription[kDescSize - 1] = '\0';
}

void SetOutcome(ComponentProcess* rec, uint32_t code, const char* desc, const char* baseName) {
    if (code == FILEHANDLE_OK) {
        SetSucceeded(rec);
        return;
    }
    SetFailed(rec, code, desc);
    if (baseName != nullptr) {
        FILEHANDLE_AddSdl_TaskExecutionFailed(baseName, rec->szDescription);
    }
}

void ReportInvalidType(const WorkerMember& m, uint8_t type, char* desc) {
    BMC_Strlcpy(desc, m.invalidType.desc, kDescSize);
    if (m.invalidType.event) {
        FILEHANDLE_AddSdl_TaskExecutionFailed("Unknown", desc);
    }
    FH_LOG(BMC_LOG_ERROR, m.invalidType.log, type);
}

// The final record is what every poller waits for; if it cannot be written the task shows
// its last record until it expires, and the log says why.
void WriteFinalRecord(ComponentProcess* rec, const char* path) {
    if (!WithRetries(
            [&] { return WriteProgressRecord(rec, path, true) != WriteOutcome::kFailed; })) {
        FH_LOG(BMC_LOG_ERROR, "Final record of %s not written; the task ends by expiry.", path);
    }
}

void TerminateTexts(ComponentInfo* r) {
    Terminate(r->szIpAdress);
    Terminate(r->szReadAddress);
    Terminate(r->szStorageAddress);
    Terminate(r->szHttpUserName);
    Terminate(r->szHttpPassword);
    Terminate(r->szCaCertFile);
    Terminate(r->szClientCertFile);
    Terminate(r->szClientKeyFile);
    Terminate(r->szClientKey2);
    Terminate(r->szUserName);
    Terminate(r->szPassword);
}

uint32_t StartWorker(const WorkerMember& m, const ComponentInfo* request, const char* func) {
    if (request == nullptr) {
        FH_LOG_NULL_AS("pstComponentInfo", func);
        return FILEHANDLE_IN_NULL_POINTER;
    }
    MallocPtr<ComponentInfo> copy(static_cast<ComponentInfo*>(malloc(sizeof *request)));
    if (!copy) {
        FH_LOG_NULL_AS("pstFileHandleInfo", func);
        return FILEHANDLE_IN_NO_MEMORY;
    }
    memcpy(copy.Get(), request, sizeof *request);
    WipeOnExit<ComponentInfo> wipe(copy.Get());  // the copy holds the passwords
    pthread_t handle{};
    if (BMC_CreateDetachThreadInternal(m.thread.body, m.thread.name, copy.Get(), &handle) != 0) {
        FH_LOG(BMC_LOG_ERROR, "%s", m.starter.createFailed);
        return FILEHANDLE_IN_THREAD_FAILED;  // the copy is freed on the way out
    }
    wipe.Dismiss();
    copy.Release();  // the thread owns it now
    FH_LOG(BMC_LOG_INFO, "%s", m.starter.created);
    return FILEHANDLE_OK;
}

void RunWorker(const WorkerMember& m, void* arg) {
    BMC_Db* db = nullptr;
    (void)WithRetries([&db] { return (db = DB_GetCurrentDb()) != nullptr; });  // checked below
    if (arg == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "%s", m.thread.nullArg);
        return;
    }
    MallocPtr<ComponentInfo> heapCopy(static_cast<ComponentInfo*>(arg));
    // Passwords are wiped from both copies of the request before their memory is given back.
    WipeOnExit<ComponentInfo> wipeHeapCopy(heapCopy.Get());
    if (db == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "%s", m.thread.nullDb);
        return;
    }
    if (prctl(PR_SET_NAME, m.thread.name) < 0) {
        FH_LOG(BMC_LOG_ERROR, "%s", m.thread.nameFailed);
    }
    TaskTable table{};
    ComponentProcess rec{};
    char desc[kDescSize] = {0};
    ComponentInfo req;
    WipeOnExit<ComponentInfo> wipeReq(&req);
    memcpy(&req, heapCopy.Get(), sizeof req);
    explicit_bzero(heapCopy.Get(), sizeof req);
    wipeHeapCopy.Dismiss();
    heapCopy.Reset();
    TerminateTexts(&req);

    if (!ValidIdentifier(req.uiIdentifier)) {
        FH_LOG(BMC_LOG_ERROR, "%s", m.thread.idOutOfRange);
        return;
    }
    int ret = 0;
    if (!WithRetries([&] { return (ret = ReadTaskTable(db, &table)) == 0; })) {
        FH_LOG(BMC_LOG_ERROR, m.thread.tableReadFailed, ret);
        return;
    }
    TaskSlot& slot = table.astSlot[req.uiIdentifier - 1];
    if (!SlotNamesTask(slot, req.uiIdentifier)) {
        FH_LOG(BMC_LOG_ERROR, m.thread.slotMismatch, req.uiIdentifier);
        return;
    }
    // A task whose progress file cannot be held could report nothing: it is not run, and
    // its slot is freed by the expiry.
    ProgressBinding binding(slot.szProgressFile);
    if (!binding.held) {
        FH_LOG(BMC_LOG_ERROR, "Progress file %s not opened; task %u not run.", slot.szProgressFile,
               req.uiIdentifier);
        return;
    }

    // The event name is taken before the routine runs: the routine may change its copy.
    const char* path =
        req.ucHandleType == FILEHANDLE_UPLOAD ? req.szReadAddress : req.szStorageAddress;
    char baseName[sizeof req.szReadAddress];
    const char* name = EventFileName(path);
    if (name != nullptr) {
        BMC_Strlcpy(baseName, name, sizeof baseName);
    }
    m.routine.run(m, &req, slot.szProgressFile, desc, name != nullptr ? baseName : nullptr, &rec);
    WriteFinalRecord(&rec, slot.szProgressFile);
}

}  // namespace fh

// One starter and one thread body per member, each a thin entry into the shared frame.
#define FH_WORKER_ENTRIES(starter, thread, member)                  \
    extern "C" uint32_t starter(ComponentInfo* pstComponentInfo) {  \
        return fh::StartWorker(member, pstComponentInfo, #starter); \
    }                                                               \
    extern "C" void* thread(void* pArg) {                           \
        fh::RunWorker(member, pArg);                                \
        return nullptr;                                             \
    }

FH_WORKER_ENTRIES(HTTP_UploadDownloadFile, HttpThread, fh::kHttpMember)
FH_WORKER_ENTRIES(TFTP_UploadDownloadFile, TftpThread, fh::kTftpMember)
FH_WORKER_ENTRIES(Mount_CIFSNFSUploadDownloadFile, MountThread, fh::kMountMember)
FH_WORKER_ENTRIES(SFTP_UploadDownloadFile, SftpThread, fh::kSftpMember)
FH_WORKER_ENTRIES(SCP_UploadDownloadFile, ScpThread, fh::kScpMember)
FH_WORKER_ENTRIES(FTP_UploadDownloadFile, FtpThread, fh::kFtpMember)
