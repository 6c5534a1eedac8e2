// Progress files: one ComponentProcess record per task, rewritten whole on every update.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "common/fh_internal.h"
#include "common/progress_record.h"
#include "common/raii.h"
#include "task/progress_internal.h"

using namespace fh;

extern "C" const ProgressStageDesc g_astProgressStageDesc[] = {
    {FILEHANDLE_STAGE_NOT_SUPPORTED, "Progress display is not supported"},
    {FILEHANDLE_STAGE_TRANSFERRING, "In Transferring"},
    {FILEHANDLE_STAGE_SUCCEED, "Succeed"},
    {FILEHANDLE_STAGE_FAILED, "Failed"},
    {255, nullptr},
};

namespace {

constexpr int kReadAttempts = 6;
constexpr useconds_t kReadPauseUs = 200001;
constexpr int kCallbackEvery = 4;

// The progress file of the calling worker's task, held while its transfer runs.
thread_local HeldProgressFile t_ownFile;

// What the calling worker last wrote through the progress callback. A rewrite with the
// same percentage in the same second would leave the file byte for byte as it is, so
// the callback skips it; no reader can tell the difference.
struct LastCallbackWrite {
    bool valid = false;
    uint8_t percent = 0;
    uint32_t time = 0;
};
thread_local LastCallbackWrite t_lastWrite;

// Calls between two progress writes, shared by every transfer of the process.
std::atomic<int> g_callbackCountdown{kCallbackEvery};

}  // namespace

namespace fh {

bool BindProgressFileToThread(const char* path) {
    t_ownFile = HeldProgressFile(path);
    t_lastWrite = LastCallbackWrite{};
    return t_ownFile.Held();
}

void UnbindProgressFileFromThread() {
    t_ownFile = HeldProgressFile();
    t_lastWrite = LastCallbackWrite{};
}

namespace {

WriteOutcome WriteThrough(int fd, ComponentProcess* rec) {
    RecordWrite w = WriteRecordAt(fd, *rec);
    if (!w.locked) {
        FH_LOG(BMC_LOG_INFO, "Could not obtain lock.");
    }
    if (!w.written) {
        FH_LOG(BMC_LOG_ERROR, "Failed while writing progress.");
        return WriteOutcome::kFailed;
    }
    return WriteOutcome::kWritten;
}

void LogMissing() {
    FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_UploadDownloadSetProgress: progress file does not exist.");
}

}  // namespace

WriteOutcome WriteProgressRecord(ComponentProcess* rec, const char* path, bool ownerOnly) {
    if (ownerOnly) {
        // Only through the held file, and only while the path still names it.
        HeldProgressFile::State state =
            t_ownFile.Held() ? t_ownFile.Check(path) : HeldProgressFile::State::kReplaced;
        if (state == HeldProgressFile::State::kGone) {
            LogMissing();
            return WriteOutcome::kMissing;
        }
        if (state == HeldProgressFile::State::kReplaced) {
            FH_LOG(BMC_LOG_INFO, "Progress file %s now belongs to another task.", path);
            return WriteOutcome::kNotOurs;
        }
        rec->uiTime = static_cast<uint32_t>(time(nullptr));
        return WriteThrough(t_ownFile.Fd(), rec);
    }
    if (access(path, F_OK) != 0) {
        LogMissing();
        return WriteOutcome::kMissing;
    }
    rec->uiTime = static_cast<uint32_t>(time(nullptr));
    // Opened without O_CREAT: a task deleted meanwhile is never brought back.
    UniqueFd fd(open(path, O_WRONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        FH_LOG(BMC_LOG_ERROR, "fopen %s failed.", path);
        return errno == ENOENT ? WriteOutcome::kMissing : WriteOutcome::kFailed;
    }
    WriteOutcome outcome = WriteThrough(fd.Get(), rec);
    if (fd.Close() != 0) {
        FH_LOG_CLOSE_FAILED("FILEHANDLE_UploadDownloadSetProgress");
    }
    return outcome;
}

bool TaskGone(WriteOutcome outcome) {
    return outcome == WriteOutcome::kNotOurs ||
           (outcome == WriteOutcome::kMissing && t_ownFile.Held());
}

WriteOutcome WriteTaskProgress(ComponentProcess* rec, const char* path) {
    return WriteProgressRecord(rec, path, t_ownFile.Held());
}

}  // namespace fh

extern "C" void FILEHANDLE_UploadDownloadSetProgress(ComponentProcess* pstComponentProcess,
                                                     const char* pcProgressFile) {
    if (pstComponentProcess == nullptr) {
        FH_LOG_NULL("pstComponentProcess");
        return;
    }
    if (pcProgressFile == nullptr) {
        FH_LOG_NULL("pcProgressFile");
        return;
    }
    (void)WriteProgressRecord(pstComponentProcess, pcProgressFile, false);
}

namespace {

enum class ReadAttempt { kDone, kRetry, kOpenFailed };

ReadAttempt ReadRecordOnce(const char* path, ComponentProcess* rec) {
    UniqueFile f(fopen(path, "re"));
    if (!f) {
        FH_LOG(BMC_LOG_ERROR, "Error opening progress file: %s", path);
        return ReadAttempt::kOpenFailed;
    }
    int fd = fileno(f.Get());
    ReadAttempt result = ReadAttempt::kRetry;
    if (BRIDGE_LOCK_LTF_FILE_READ(fd) == -1) {
        FH_LOG(BMC_LOG_ERROR, "Could not obtain lock");
    } else {
        memset(rec, 0, sizeof *rec);
        size_t whole = fread(rec, sizeof *rec, 1, f.Get());
        (void)BRIDGE_UNLOCK_LTF_FILE(fd);  // closing the stream drops the lock in any case
        if (whole == 1) {
            result = ReadAttempt::kDone;
        } else {
            FH_LOG(BMC_LOG_INFO, "retrying reading status file...");
        }
    }
    if (f.Close() != 0) {
        FH_LOG_CLOSE_FAILED("FILEHANDLE_UploadDownloadProgress");
    }
    return result;
}

}  // namespace

extern "C" uint32_t FILEHANDLE_UploadDownloadProgress(uint32_t uiIdentifier,
                                                      ComponentProcess* pstComponentProcess) {
    if (pstComponentProcess == nullptr) {
        FH_LOG_NULL("pstComponentProcess");
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    char path[256] = {0};
    if (FILEHANDLE_GetProgressFile(uiIdentifier, path) != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_GetProgressFile is failed");
        return FILEHANDLE_E_NO_PROGRESS_PATH;
    }
    if (access(path, F_OK) != 0) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_UploadDownloadProgress: progress file does not exist ");
        return FILEHANDLE_E_NO_PROGRESS_FILE;
    }
    uint32_t result = FILEHANDLE_E_PROGRESS;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        ReadAttempt a = ReadRecordOnce(path, pstComponentProcess);
        if (a == ReadAttempt::kDone) {
            result = FILEHANDLE_OK;
            break;
        }
        if (a == ReadAttempt::kOpenFailed) {
            break;
        }
        usleep(kReadPauseUs);
    }
    // The file is data that others can write: its texts come back terminated, and the stage
    // text is the reader's own (empty for a stage it does not know), never the file's.
    pstComponentProcess->szDescription[sizeof pstComponentProcess->szDescription - 1] = '\0';
    memset(pstComponentProcess->szStageDesc, 0, sizeof pstComponentProcess->szStageDesc);
    for (const ProgressStageDesc* row = g_astProgressStageDesc; row->pcDesc != nullptr; ++row) {
        if (row->uiStage == pstComponentProcess->uiStage) {
            BMC_Strlcpy(pstComponentProcess->szStageDesc, row->pcDesc,
                        sizeof pstComponentProcess->szStageDesc);
            break;
        }
    }
    return result;
}

extern "C" int FileProgressByCurlFunc(void* pData, double dlDownloadTotal, double dlDownloadNew,
                                      double dlUploadTotal, double dlUploadNew) {
    if (pData == nullptr) {
        FH_LOG_NULL("pData");
        return 1;
    }
    // Only every fourth call, counted over all transfers of the process, does any work.
    if (g_callbackCountdown.fetch_sub(1, std::memory_order_relaxed) - 1 > 0) {
        return 0;
    }
    g_callbackCountdown.store(kCallbackEvery, std::memory_order_relaxed);

    uint32_t id = 0;
    memcpy(&id, pData, sizeof id);
    double ratio;
    if (dlDownloadTotal != 0.0 && id != 0) {
        ratio = dlDownloadNew / dlDownloadTotal;
    } else if (dlUploadTotal != 0.0 && id != 0) {
        ratio = dlUploadNew / dlUploadTotal;
    } else {
        FH_LOG(BMC_LOG_INFO,
               "FileProgressByCurlFunc: dlDownloadTotal: %f, dlDownloadNew: %f, uiIdentifier: %u, "
               "dlUploadTotal: %f, dlUploadNew: %f.",
               dlDownloadTotal, dlDownloadNew, id, dlUploadTotal, dlUploadNew);
        return 0;
    }
    double scaled = floor(ratio * 100.0);
    uint8_t percent = scaled >= 100.0 ? 100 : scaled <= 0.0 ? 0 : static_cast<uint8_t>(scaled);

    char path[256] = {0};
    if (FILEHANDLE_GetProgressFile(id, path) != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_GetProgressFile is failed.");
        return 2;
    }
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    if (t_ownFile.Held() && t_lastWrite.valid && t_lastWrite.percent == percent &&
        t_lastWrite.time == now) {
        return 0;
    }
    ComponentProcess rec{};
    rec.uiStage = FILEHANDLE_STAGE_TRANSFERRING;
    rec.ucPercent = percent;
    BMC_Strlcpy(rec.szDescription, "File transfer....", sizeof rec.szDescription);
    // A worker of ours writes only to its own file; a task that was expired and handed
    // to someone else is abandoned like a deleted one.
    WriteOutcome out = WriteProgressRecord(&rec, path, t_ownFile.Held());
    if (TaskGone(out)) {
        return 2;
    }
    if (out == WriteOutcome::kWritten && t_ownFile.Held()) {
        t_lastWrite = LastCallbackWrite{true, percent, rec.uiTime};
    }
    return 0;
}

extern "C" void FILEHANDLE_AddSdl_TaskExecutionFailed(const char* pcFilePathName,
                                                      const char* pcFileResult) {
    if (pcFilePathName == nullptr) {
        FH_LOG_NULL("pcFilePathName");
        return;
    }
    if (pcFileResult == nullptr) {
        FH_LOG_NULL("pcFileResult");
        return;
    }
    uint8_t event[SDS_SDL_EVENT_SIZE] = {0};
    memcpy(event, &kSdlTaskFailedEvent, sizeof kSdlTaskFailedEvent);
    uint8_t* area = event + SDS_SDL_AREA_OFFSET;
    uint32_t offset = 0;
    // Element lengths are 8-bit: a text of 255 bytes or more passes the low 8 bits of its
    // length and is cut there. The three elements (at most 2 + 2 x 257 bytes) always fit
    // the 1024-byte area, so the appends cannot fail.
    (void)SDS_SDLTLVSet(2, 0, nullptr, &offset, area);
    (void)SDS_SDLTLVSet(static_cast<uint8_t>(strlen(pcFilePathName) + 1), 0x11, pcFilePathName,
                        &offset, area);
    (void)SDS_SDLTLVSet(static_cast<uint8_t>(strlen(pcFileResult) + 1), 0x11, pcFileResult, &offset,
                        area);
    int ret =
        SDS_Internal_AddSdlFromBmc(event, FH_SOURCE_FILE, "FILEHANDLE_AddSdl_TaskExecutionFailed");
    if (ret != 0) {
        FH_LOG(BMC_LOG_ERROR, "Failed to add sdl of TaskExecutionFailed, iRet: %#x.", ret);
    }
}
