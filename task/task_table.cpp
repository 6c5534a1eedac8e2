// The ten-slot task table kept in the platform database under FILEHANDLE_TASK_DB_KEY.
// Every read-modify-write runs under the inter-process lock FILEHANDLE_TASK_LOCK_NAME;
// lookups and listings read without it.
#include "task/task_table.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "common/fh_internal.h"
#include "task/progress_internal.h"

using namespace fh;

namespace {

constexpr uint32_t kEndedTaskSeconds = 12;
constexpr uint32_t kRunningTaskSeconds = 120;

// Whether the expiry may free a task whose record was last written at `t`.
bool TaskExpired(const ComponentProcess& rec, uint32_t now) {
    uint32_t t = rec.uiTime;
    if (t == 0 || t >= now) {
        return false;  // never stamped, or stamped in the future
    }
    bool ended = rec.uiStage == FILEHANDLE_STAGE_SUCCEED || rec.uiStage == FILEHANDLE_STAGE_FAILED;
    return now - t > (ended ? kEndedTaskSeconds : kRunningTaskSeconds);
}

// The slot is freed even when its file cannot be removed: the next allocation of the
// identifier truncates the file and writes a new record.
void RemoveProgressFile(const char* path) {
    if (unlink(path) != 0 && errno != ENOENT) {
        FH_LOG(BMC_LOG_ERROR, "Progress file %s not removed: %s.", path, strerror(errno));
    }
}

}  // namespace

namespace fh {

bool EnsureTaskTable(BMC_Db* db) {
    TaskTable table{};
    // A table that is there needs no lock to be seen (reads are consistent snapshots):
    // the lock is taken only to create it.
    if (ReadTaskTable(db, &table) >= 0) {
        return true;
    }
    TaskTableLock lock;
    if (!lock.Held() || (ReadTaskTable(db, &table) < 0 && FH_WRITE_TASK_TABLE(db, &table) != 0)) {
        FH_LOG(BMC_LOG_ERROR, "Failed to put Task information to DB.");
        return false;
    }
    return true;
}

}  // namespace fh

extern "C" uint32_t FILEHANLE_IDdetifier_ProgessFile(uint32_t* puiIdentifier) {
    BMC_Db* db = DB_GetCurrentDb();
    if (puiIdentifier == nullptr || db == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANLE_IDdetifier_ProgessFile uiIdentifieror pDb is null.");
        return FILEHANDLE_IN_BAD_ARGUMENT;
    }
    TaskTable table{};
    char path[sizeof table.astSlot[0].szProgressFile] = {0};
    {
        TaskTableLock lock;
        int ret = lock.Held() ? ReadTaskTable(db, &table) : -1;
        if (ret != 0) {
            FH_LOG(BMC_LOG_ERROR, "Error in getting file pathinfo from DB, iRet: %d.", ret);
            return FILEHANDLE_IN_DB_READ;
        }
        uint32_t i = 0;
        while (i < FILEHANDLE_THREAD_MAX && table.astSlot[i].uiIdentifier != 0) {
            ++i;
        }
        if (i == FILEHANDLE_THREAD_MAX) {
            FH_LOG(BMC_LOG_ERROR, "Error in getting file pathinfo from DB, iRet: %d.",
                   static_cast<int>(FILEHANDLE_THREAD_MAX));
            return FILEHANDLE_IN_TABLE_FULL;
        }
        TaskSlot& slot = table.astSlot[i];
        slot.uiIdentifier = i + 1;
        *puiIdentifier = i + 1;
        BMC_Scnprintf(path, sizeof path, FILEHANDLE_PROGRESS_PATH_FMT, i + 1);
        memset(slot.szProgressFile, 0, sizeof slot.szProgressFile);
        BMC_Strlcpy(slot.szProgressFile, path, sizeof slot.szProgressFile);
        // The progress file and its first record come before the table names the slot, so
        // that a process dying in between leaves at most a file without its slot (the next
        // allocation of the slot rewrites it), never a slot whose record the expiry could not
        // read and so would never free. A task without its progress file could never be
        // polled either: the allocation fails, and nothing was claimed for the caller to undo.
        ComponentProcess rec{};
        rec.uiStage = FILEHANDLE_STAGE_TRANSFERRING;
        BMC_Strlcpy(rec.szDescription, "File download or upload init", sizeof rec.szDescription);
        if (BMC_CreateFile(path) != 0 ||
            WriteProgressRecord(&rec, path, false) != WriteOutcome::kWritten) {
            FH_LOG(BMC_LOG_ERROR, "Progress file %s not created; task %u not started.", path,
                   *puiIdentifier);
            *puiIdentifier = 0;
            return FILEHANDLE_IN_DB_WRITE;
        }
        if (FH_WRITE_TASK_TABLE(db, &table) != 0) {
            FH_LOG(BMC_LOG_ERROR, "Failed to put Task information to DB.");
            RemoveProgressFile(path);
            return FILEHANDLE_IN_DB_WRITE;
        }
    }
    return FILEHANDLE_OK;
}

extern "C" uint32_t FILEHANLE_ClearTasksAndConfigID(uint32_t* puiIdentifier) {
    if (puiIdentifier == nullptr) {
        FH_LOG_NULL("puiIdentifier");
        return FILEHANDLE_IN_NULL_POINTER;
    }
    // A failed allocation deletes the identifier found here: it must be one this call set,
    // never a value the caller left in the variable (which may name a running task).
    *puiIdentifier = 0;
    uint32_t ret = FILEHANLE_IDdetifier_ProgessFile(puiIdentifier);
    if (ret == FILEHANDLE_IN_TABLE_FULL) {
        uint32_t freed = 0;
        FILEHANDLE_UploadDownloadDateClean(&freed);
        if (freed == 0) {
            FILEHANDLE_DeleteProgressInfo(*puiIdentifier);
            return FILEHANDLE_E_START_FAILED;
        }
        ret = FILEHANLE_IDdetifier_ProgessFile(puiIdentifier);
    }
    if (ret != FILEHANDLE_OK) {
        // Undoes a half-made slot; an identifier that was never set is just rejected.
        FILEHANDLE_DeleteProgressInfo(*puiIdentifier);
        return FILEHANDLE_E_START_FAILED;
    }
    FH_LOG(BMC_LOG_INFO, "Progress file creation success, Identifier: %u.", *puiIdentifier);
    return FILEHANDLE_OK;
}

extern "C" uint32_t FILEHANDLE_GetProgressFile(uint32_t uiIdentifier, char* pcProgressFilePath) {
    BMC_Db* db = DB_GetCurrentDb();
    if (pcProgressFilePath == nullptr) {
        FH_LOG_NULL("pcProgressFilePath");
        return FILEHANDLE_IN_NULL_POINTER;
    }
    if (db == nullptr) {
        FH_LOG_NULL("pDb");
        return FILEHANDLE_IN_NO_DB;
    }
    if (!ValidIdentifier(uiIdentifier)) {
        FH_LOG(BMC_LOG_ERROR, "uiIdentifier is 0 or FILEHANDLE_THREAD_MAX.");
        return FILEHANDLE_IN_BAD_ARGUMENT;
    }
    TaskTable table{};
    if (ReadTaskTable(db, &table) != 0) {
        FH_LOG(BMC_LOG_ERROR, "Failed to get Task information to DB.");
        return FILEHANDLE_IN_DB_READ;
    }
    const TaskSlot& slot = table.astSlot[uiIdentifier - 1];
    if (!SlotNamesTask(slot, uiIdentifier)) {
        FH_LOG(BMC_LOG_ERROR, "Failed to obtain file path information from Bd, uiIdentifier: %u.",
               uiIdentifier);
        return FILEHANDLE_IN_NO_SLOT_MATCH;
    }
    BMC_Strlcpy(pcProgressFilePath, slot.szProgressFile, sizeof slot.szProgressFile);
    return FILEHANDLE_OK;
}

extern "C" uint32_t FILEHANDLE_GetTransferTaskInfo(TransferTaskInfo* pstTransferTaskInfo) {
    BMC_Db* db = DB_GetCurrentDb();
    if (pstTransferTaskInfo == nullptr) {
        FH_LOG_NULL("pstTransferTaskInfo");
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    if (db == nullptr) {
        FH_LOG_NULL("pDb");
        return FILEHANDLE_E_NO_DB;
    }
    TaskTable table{};
    if (ReadTaskTable(db, &table) != 0) {
        FH_LOG(BMC_LOG_ERROR, "Failed to get Task information from DB.");
        return FILEHANDLE_E_DB_READ;
    }
    uint8_t count = 0;
    for (const TaskSlot& slot : table.astSlot) {
        if (slot.uiIdentifier != 0) {
            pstTransferTaskInfo->auiIdentifier[count++] = slot.uiIdentifier;
        }
    }
    pstTransferTaskInfo->ucTaskNum = count;
    return FILEHANDLE_OK;
}

extern "C" uint32_t FILEHANDLE_DeleteProgressInfo(uint32_t uiIdentifier) {
    BMC_Db* db = DB_GetCurrentDb();
    if (!ValidIdentifier(uiIdentifier)) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_DeleteProgressInfo is failed, uiIdentifier is 0.");
        return FILEHANDLE_E_BAD_TARGET;
    }
    if (db == nullptr) {
        FH_LOG_NULL("pDb");
        return FILEHANDLE_E_NO_DB;
    }
    TaskTable table{};
    TaskTableLock lock;
    int ret = lock.Held() ? ReadTaskTable(db, &table) : -1;
    if (ret != 0) {
        FH_LOG(BMC_LOG_ERROR, "Error in getting file pathinfo from DB, iRet: %d", ret);
        return FILEHANDLE_E_DB_READ;
    }
    // The progress file goes only once the table no longer names it, still under the lock:
    // a delete whose write fails leaves the task whole, never a slot without its file
    // (which the expiry could not read, and so would never free).
    TaskSlot& slot = table.astSlot[uiIdentifier - 1];
    char path[sizeof slot.szProgressFile] = {0};
    if (slot.uiIdentifier == uiIdentifier) {
        if (SlotNamesTask(slot, uiIdentifier)) {
            memcpy(path, slot.szProgressFile, sizeof path - 1);
        }
        memset(&slot, 0, sizeof slot);  // a slot naming another path is cleared, nothing removed
    }
    ret = FH_WRITE_TASK_TABLE(db, &table);
    if (ret != 0) {
        FH_LOG(BMC_LOG_ERROR, "Error in putting progress info to DB, iRet: %d", ret);
        return FILEHANDLE_E_DB_WRITE;
    }
    if (path[0] != '\0') {
        RemoveProgressFile(path);
    }
    lock.Release();
    FH_LOG(BMC_LOG_INFO, "File upload and download task content cleared successfully");
    return FILEHANDLE_OK;
}

extern "C" void FILEHANDLE_UploadDownloadDateClean(uint32_t* puiTaskNum) {
    BMC_Db* db = DB_GetCurrentDb();
    if (puiTaskNum == nullptr) {
        FH_LOG_NULL("puiTaskNum");
        return;
    }
    if (db == nullptr) {
        FH_LOG_NULL("pDb");
        return;
    }
    TaskTable table{};
    TaskTableLock lock;
    int ret = lock.Held() ? ReadTaskTable(db, &table) : -1;
    if (ret != 0) {
        lock.Release();
        FH_LOG(BMC_LOG_ERROR, "Error in getting file pathinfo from DB, iRet: %d.", ret);
        return;
    }
    // As in a delete, the files of expired tasks go once the table is written.
    TaskTable expired{};
    uint32_t freed = 0;
    for (uint32_t i = 0; i < FILEHANDLE_THREAD_MAX; ++i) {
        TaskSlot& slot = table.astSlot[i];
        if (slot.uiIdentifier == 0) {
            continue;
        }
        ComponentProcess rec{};
        if (FILEHANDLE_UploadDownloadProgress(slot.uiIdentifier, &rec) != FILEHANDLE_OK) {
            FH_LOG(BMC_LOG_ERROR, "Identifier: %u, Getting file transfer progress failed.",
                   slot.uiIdentifier);
            continue;
        }
        if (!TaskExpired(rec, static_cast<uint32_t>(time(nullptr)))) {
            continue;
        }
        if (SlotNamesTask(slot, i + 1)) {
            expired.astSlot[freed] = slot;  // a slot naming another path: nothing removed
        }
        ++freed;
        memset(&slot, 0, sizeof slot);
    }
    ret = FH_WRITE_TASK_TABLE(db, &table);
    if (ret != 0) {
        lock.Release();
        FH_LOG(BMC_LOG_ERROR, "Error in putting progress info to DB, iRet: %d.", ret);
        return;
    }
    for (uint32_t i = 0; i < freed; ++i) {
        if (expired.astSlot[i].szProgressFile[0] != '\0') {
            RemoveProgressFile(expired.astSlot[i].szProgressFile);
        }
    }
    lock.Release();
    *puiTaskNum = freed;
    FH_LOG(BMC_LOG_INFO, "File transfer task clear %u.", freed);
}
