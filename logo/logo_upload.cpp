// Custom logo upload: one of the controller's fixed logo images is fetched from a transfer
// URI into "TmpLogo" beside it and installed by renaming that file, shown to the user as a
// Task-service task with a live percentage and recorded in the operation log.
//
// What a command can write: the text after its last '/' must equal the file name of one
// populated row of g_astLogoInfo, and both local paths (the row's directory plus
// "TmpLogo", and plus the row's own name) are built from that row alone; no text of the
// command ever becomes part of a path we write. A command ending in '/' has an empty name,
// which would match the table's empty rows (and so the directory ""); it is refused like
// any other unknown name.
//
// A partial image is never installed:
// - A stalled transfer, whose percentage stays the same over five polls (about half a
//   second), is a failure: the transfer task is deleted (a libcurl worker then gives up at
//   its next progress report), the temporary file is removed, and the result is
//   0x3c000c0f, so that a caller can tell it from a transfer that failed by itself
//   (0x3c000c09).
// - Uploads run one at a time (all processes), as two of them would share "TmpLogo".
// - Success is reported only after the rename; a failed rename is a failure (0x3c000c0c).
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/fh_internal.h"
#include "common/redact.h"
#include "common/task_poll.h"

using namespace fh;

extern "C" const LogoInfo g_astLogoInfo[] = {
    {"logo1.png", "/mnt/sdmmc0p2/OEMFile/bmc/logo"},
    {"logo2.png", "/mnt/sdmmc0p2/OEMFile/bmc/logo"},
    {"favicon.ico", "/mnt/sdmmc0p2/OEMFile/bmc/logo"},
    {"bios_logo_post.jpg", "/mnt/sdmmc0p2/OEMFile/bios/logo"},
    {"bios_logo_quiet.jpg", "/mnt/sdmmc0p2/OEMFile/bios/logo"},
    {},
    {},
    {},
    {},
    {},
};
extern "C" const uint32_t g_uiLogoInfoArrSize = sizeof g_astLogoInfo / sizeof g_astLogoInfo[0];
static_assert(sizeof g_astLogoInfo / sizeof g_astLogoInfo[0] == 10, "ten rows");

namespace {

constexpr uint32_t kLogoTransferFailed = FILEHANDLE_E_PROGRESS;  // the transfer ended in stage 3
constexpr uint32_t kLogoStalled = FILEHANDLE_E_TRANSFER_FAILED;  // the percentage stopped moving

constexpr size_t kCommandMax = 1024;
constexpr uint8_t kOemFlagAllowingLogo = 3;
constexpr uint32_t kStallPolls = 5;
constexpr useconds_t kPollMicroseconds = 100001;
constexpr char kTempName[] = "TmpLogo";
constexpr char kUploadLockName[] = "filehand_logo_upload.lock";

constexpr uint32_t kOperationLogModule = 254;
constexpr char kLogSuccess[] = "Uploaded the custom logo successfully.";
constexpr char kLogFailure[] = "Failed to upload the custom logo.";

constexpr uint8_t kTaskKind = 5;
constexpr char kTaskObject[] = "logo";
constexpr char kTaskType[] = "Upload Task";
constexpr char kTaskKey[] = "LogoUploading";
constexpr uint8_t kTaskClass = 2;
constexpr uint8_t kTaskSubClass = 4;
constexpr uint32_t kTaskInterval = 10;

// One operation-log entry for the caller's origin record (read as bytes: the record need
// not be aligned).
void AddOperationLog(const void* origin, uint8_t letter, const char* message, uint32_t line) {
    char text[512];
    BMC_Strlcpy(text, message, sizeof text);
    const char* bytes = static_cast<const char*>(origin);
    uint32_t originId = 0;
    memcpy(&originId, bytes + offsetof(OperateLogOrigin, uiOriginId), sizeof originId);
    if (OPERATELOG_AddLogComm(originId, letter, text, origin,
                              bytes + offsetof(OperateLogOrigin, szSource), line,
                              kOperationLogModule) != 0) {
        FH_LOG(BMC_LOG_ERROR, "Operation log entry not written: %s", text);
    }
}

// The row whose file name the command's last path element names, or null.
const LogoInfo* FindLogo(const char* command) {
    const char* slash = strrchr(command, '/');
    if (slash == nullptr || slash[1] == '\0') {
        return nullptr;
    }
    for (uint32_t i = 0; i < g_uiLogoInfoArrSize; ++i) {
        const LogoInfo& row = g_astLogoInfo[i];
        if (row.szFileName[0] != '\0' && strcmp(slash + 1, row.szFileName) == 0) {
            return &row;
        }
    }
    return nullptr;
}

// The upload's Task-service task. When the registration fails the upload goes on
// without a task and sends no updates: the caller's record may still hold the number of
// an older task, whose final state must not be overwritten.
class LogoTask {
  public:
    explicit LogoTask(void* taskInfo) {
        TaskServiceRegistration reg;
        memset(&reg, 0, sizeof reg);
        BMC_Scnprintf(reg.szName, sizeof reg.szName, "%s %s", kTaskObject, kTaskType);
        BMC_Strlcpy(reg.szType, kTaskType, sizeof reg.szType);
        BMC_Strlcpy(reg.szKey, kTaskKey, sizeof reg.szKey);
        char process[128] = {0};
        // A name that cannot be read leaves the owner empty; the task is still registered.
        (void)BMC_GetCurrentProcessName(sizeof process, process);
        BMC_Strlcpy(reg.szOwner, process, sizeof reg.szOwner);
        BMC_Strlcpy(reg.szMessageId, "BMC.UploadLogoComponent", sizeof reg.szMessageId);
        BMC_Strlcpy(reg.szMessageArg, kTaskObject, sizeof reg.szMessageArg);
        BMC_Strlcpy(reg.szDescription, "UpLoad The Logo", sizeof reg.szDescription);
        BMC_Strlcpy(reg.szTarget, kTaskObject, sizeof reg.szTarget);
        BMC_Strlcpy(reg.szHealth, "OK", sizeof reg.szHealth);
        BMC_Strlcpy(reg.szTrigger, "Automatic.", sizeof reg.szTrigger);
        reg.ucClass = kTaskClass;
        reg.ucSubClass = kTaskSubClass;
        reg.ucKind = kTaskKind;
        reg.uiRevision = 1;
        reg.uiFlags = 17;
        reg.uiInterval = kTaskInterval;
        TaskServiceTaskInfo* info = static_cast<TaskServiceTaskInfo*>(taskInfo);
        if (TASK_TaskServiceRegister(&reg, taskInfo, &info->uiStartTime, kTaskKind) != 0) {
            FH_LOG(BMC_LOG_ERROR, "BMC download sds log regist Taskservice failed\n");
            return;
        }
        memcpy(&id_, taskInfo, sizeof id_);
        registered_ = true;
    }

    void Update(const char* message, uint8_t state, uint8_t percent) const {
        if (!registered_) {
            return;
        }
        TaskServiceUpdate upd;
        memset(&upd, 0, sizeof upd);
        upd.uiTaskId = id_;
        upd.uiInterval = kTaskInterval;
        BMC_Scnprintf(upd.szName, sizeof upd.szName, "%s %s", kTaskObject, kTaskType);
        BMC_Strlcpy(upd.szType, kTaskType, sizeof upd.szType);
        BMC_Strlcpy(upd.szKey, kTaskKey, sizeof upd.szKey);
        BMC_Strlcpy(upd.szMessage, message, sizeof upd.szMessage);
        upd.ucState = state;
        upd.ucPercent = percent;
        upd.ucClass = kTaskClass;
        upd.ucSubClass = kTaskSubClass;
        if (TASK_TaskServiceUpdate(&upd) != 0) {
            FH_LOG(BMC_LOG_ERROR, "TASK_TaskServiceUpdate error.\n");
        }
    }
    void Running(uint8_t percent) const {
        Update("logo uploading", TASK_SERVICE_STATE_RUNNING, percent);
    }
    void Succeeded() const { Update("logo upload success", TASK_SERVICE_STATE_COMPLETED, 100); }
    void Failed(uint8_t percent) const {
        Update("logo upload failed", TASK_SERVICE_STATE_EXCEPTION, percent);
    }

  private:
    uint32_t id_ = 0;
    bool registered_ = false;
};

// Polls the transfer task until it ends or stalls: 0 when it succeeded, else the reason
// (before the failure bits). `lastPercent` follows the percentage the task showed.
uint32_t WaitForTransfer(uint32_t id, const LogoTask& task, uint8_t* lastPercent) {
    ComponentProcess rec{};
    uint32_t readResult = FILEHANDLE_OK;
    auto running = [&](const ComponentProcess& r, bool moved) {
        if (moved) {
            task.Running(r.ucPercent);
            *lastPercent = r.ucPercent;
        }
    };
    switch (FollowTask(id, std::chrono::microseconds(kPollMicroseconds), kStallPolls, &rec,
                       &readResult, running)) {
        case TaskEnd::kSucceeded:
            return FILEHANDLE_OK;
        case TaskEnd::kFailed:
            return kLogoTransferFailed;
        case TaskEnd::kStalled:
            FH_LOG(BMC_LOG_ERROR, "logo transfer %u stalled at %u%%.", id, *lastPercent);
            return kLogoStalled;
        case TaskEnd::kUnreadable:
            break;
    }
    return readResult;
}

// Removes the temporary image; true when none is left (there was none, or it is gone).
bool RemoveTemporary(const char* tempPath) {
    struct stat st {};
    if (BMC_RmFile(tempPath) != 0 && lstat(tempPath, &st) == 0) {
        FH_LOG(BMC_LOG_ERROR, "%s not removed.", tempPath);
        return false;
    }
    return true;
}

uint32_t FailUpload(const void* origin, const LogoTask& task, uint8_t percent, const char* tempPath,
                    uint32_t result) {
    AddOperationLog(origin, OPERATELOG_RESULT_FAILURE, kLogFailure, __LINE__);
    task.Failed(percent);
    if (tempPath != nullptr) {  // null: the temporary file belongs to another upload
        RemoveTemporary(tempPath);
    }
    return result;
}

// Installs the fetched image; the upload is a success only once the logo is in place.
uint32_t InstallLogo(const void* origin, const LogoTask& task, uint8_t percent,
                     const char* tempPath, const char* finalPath) {
    if (BMC_MoveFile(tempPath, finalPath) != 0) {
        FH_LOG(BMC_LOG_ERROR, "move %s to %s failed.", tempPath, finalPath);
        return FailUpload(origin, task, percent, tempPath,
                          FILEHANDLE_E_LOCAL_FILE | FILEHANDLE_LOGO_FAILURE_BITS);
    }
    AddOperationLog(origin, OPERATELOG_RESULT_SUCCESS, kLogSuccess, __LINE__);
    task.Succeeded();
    return FILEHANDLE_OK;
}

}  // namespace

extern "C" uint32_t FILEHANDLE_UploadLogo(const char* pcRedfishCmd, void* pstLogOrigin,
                                          void* pstTaskInfo) {
    if (pcRedfishCmd == nullptr) {
        FH_LOG_NULL("pcRedfishCmd");
        return FILEHANDLE_E_LOGO_NULL_ARGUMENT;
    }
    if (pstLogOrigin == nullptr) {
        FH_LOG_NULL("pstLogOrigin");
        return FILEHANDLE_E_LOGO_NULL_ARGUMENT;
    }
    if (pstTaskInfo == nullptr) {
        FH_LOG_NULL("pstTaskInfo");
        return FILEHANDLE_E_LOGO_NULL_ARGUMENT;
    }
    size_t length = strlen(pcRedfishCmd);
    if (length >= kCommandMax) {
        FH_LOG(BMC_LOG_ERROR, "invalid redfish cmd length %d.", static_cast<int>(length));
        return FILEHANDLE_E_BAD_TARGET;
    }
    uint8_t oemFlag = 255;
    uint8_t capability = 0;
    // A flag or capability that cannot be read keeps its initial value, which refuses.
    (void)BMC_GetOemFlag(&oemFlag);
    (void)CAP_GetCharCapabilityWithName("Customer", "SupportUploadLogo", &capability);
    if (capability == 0 || oemFlag != kOemFlagAllowingLogo) {
        FH_LOG(BMC_LOG_ERROR, "unsupport upload logo.");
        AddOperationLog(pstLogOrigin, OPERATELOG_RESULT_FAILURE, kLogFailure, __LINE__);
        return FILEHANDLE_E_LOGO_UNSUPPORTED;
    }
    const LogoInfo* row = FindLogo(pcRedfishCmd);
    if (row == nullptr) {
        // The command may carry user:password: the log gets it masked.
        FH_LOG(BMC_LOG_ERROR, "redfish cmd %s is incorrect.", UrlForLog(pcRedfishCmd).c_str());
        AddOperationLog(pstLogOrigin, OPERATELOG_RESULT_FAILURE, kLogFailure, __LINE__);
        return FILEHANDLE_E_BAD_TARGET;
    }
    char name[sizeof row->szFileName];
    memcpy(name, row->szFileName, sizeof name);
    // A directory that cannot be made fails the download into it, which reports the upload.
    if (access(row->szDirectory, F_OK) != 0 && BMC_Mkdir(row->szDirectory) != 0) {
        FH_LOG(BMC_LOG_ERROR, "mkdir %s failed.", row->szDirectory);
    }
    LogoTask task(pstTaskInfo);

    char finalPath[128] = {0};
    BMC_Scnprintf(finalPath, sizeof finalPath, "%s/%s", row->szDirectory, name);
    RedfishInfo req;
    memset(&req, 0, sizeof req);
    req.ucFileMode = 0;  // a local source is copied, never moved away
    req.ucHandleType = FILEHANDLE_DOWNLOAD;
    BMC_Scnprintf(req.szLocalPath, sizeof req.szLocalPath, "%s/%s", row->szDirectory, kTempName);
    BMC_Strlcpy(req.szRedfishCmd, pcRedfishCmd, sizeof req.szRedfishCmd);
    const char* tempPath = req.szLocalPath;

    // Two uploads into one directory would share "TmpLogo" and could install a mix of both
    // images: uploads run one at a time. A "TmpLogo" found now is the leftover of an upload
    // that died; it is removed rather than written through (it may even be a link).
    NamedLock lock(kUploadLockName, LogLockFailure);
    if (!lock.Held()) {
        return FailUpload(pstLogOrigin, task, 0, nullptr, FILEHANDLE_E_LOGO_START_FAILED);
    }
    if (!RemoveTemporary(tempPath)) {
        return FailUpload(pstLogOrigin, task, 0, nullptr, FILEHANDLE_E_LOGO_START_FAILED);
    }

    uint32_t id = 0;
    uint32_t ret = FILEHANDLE_UploadDownloadFileImageForRedfish(&req, &id);
    if (ret != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, "upload file %s failed.", name);
        return FailUpload(pstLogOrigin, task, 0, tempPath, FILEHANDLE_E_LOGO_START_FAILED);
    }
    if (id == 0) {  // a local copy, already complete
        return InstallLogo(pstLogOrigin, task, 0, tempPath, finalPath);
    }

    uint8_t lastPercent = 0;
    uint32_t result = WaitForTransfer(id, task, &lastPercent);
    uint32_t del = FILEHANDLE_DeleteProgressInfo(id);
    if (del != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_DeleteProgressInfo is failed iRet=%d",
               static_cast<int>(del));
    }
    if (result == FILEHANDLE_OK) {
        return InstallLogo(pstLogOrigin, task, lastPercent, tempPath, finalPath);
    }
    return FailUpload(pstLogOrigin, task, lastPercent, tempPath,
                      result | FILEHANDLE_LOGO_FAILURE_BITS);
}
