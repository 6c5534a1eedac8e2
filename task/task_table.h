// The task table record: its lock, its reads and writes, and what a slot must say.
#pragma once

#include "common/fh_internal.h"

namespace fh {

// The lock of every read-modify-write of the task table.
class TaskTableLock : public NamedLock {
  public:
    TaskTableLock() : NamedLock(FILEHANDLE_TASK_LOCK_NAME, LogLockFailure) {}
};

inline int ReadTaskTable(BMC_Db* db, TaskTable* table) {
    return DB_Get(db, FILEHANDLE_TASK_DB_KEY, sizeof *table, table);
}

// Whether a slot of a table read from the database names task `id` (1 to 10, the slot's
// own number) with the one progress path that allocation gives it. Others can write the
// database: a slot that says anything else is no task, and its path is never opened,
// written or removed.
inline bool SlotNamesTask(const TaskSlot& slot, uint32_t id) {
    char want[sizeof slot.szProgressFile];
    BMC_Scnprintf(want, sizeof want, FILEHANDLE_PROGRESS_PATH_FMT, id);
    return slot.uiIdentifier == id &&
           __builtin_strncmp(slot.szProgressFile, want, sizeof want) == 0;
}
#define FH_WRITE_TASK_TABLE(db, table) \
    DB_PutInternal(FH_SOURCE_FILE, __LINE__, (db), FILEHANDLE_TASK_DB_KEY, sizeof *(table), (table))

// Makes sure the task table record exists; false when it could not be created.
bool EnsureTaskTable(BMC_Db* db);

}  // namespace fh
