// The task service: registrations and updates of tasks, kept in the key-value database
// under the service's inter-process lock, so that another process can read them.
#include <string.h>
#include <time.h>

#include "common/named_lock.h"
#include "platform/bmc_platform.h"

namespace {

// The task service's inter-process lock, held for the guard's lifetime.
struct ServiceLock : fh::NamedLock {
    ServiceLock() : NamedLock(TASK_SERVICE_LOCK_NAME) {}
};

// Slots 1..TASK_SERVICE_SLOTS: key offset 0 of the registration range is the counter.
uint32_t Slot(uint32_t id) {
    return 1u + (id - 1u) % TASK_SERVICE_SLOTS;
}

template <typename T>
int Get(BMC_Db* db, uint32_t key, T* record) {
    return DB_Get(db, key, sizeof *record, record);
}

template <typename T>
bool Put(BMC_Db* db, uint32_t key, const T& record) {
    return DB_PutInternal("bmc_task_service", __LINE__, db, key, sizeof record, &record) == 0;
}

enum class Lookup { kFound, kUnknown, kFailed };

// The stored registration of `id`, if that task still holds its slot.
Lookup FindRegistration(BMC_Db* db, uint32_t id, TaskServiceStoredRegistration* reg) {
    if (id == 0) {
        return Lookup::kUnknown;
    }
    int rc = Get(db, TASK_SERVICE_DB_KEY_REGISTRATION + Slot(id), reg);
    if (rc > 0) {
        return Lookup::kFailed;
    }
    return rc < 0 || reg->uiTaskId != id ? Lookup::kUnknown : Lookup::kFound;
}

uint32_t Now() {
    return static_cast<uint32_t>(time(nullptr));
}

// Under the task service's lock (`lock`), the registration of task `id` and its stored
// update (`*updateRc` is Get's result: below 0 when there is none). 0 when the task is
// known, -1 when it is not, 1 when the store failed.
int ReadTask(const ServiceLock& lock, BMC_Db* db, uint32_t id, TaskServiceStoredRegistration* reg,
             TaskServiceStoredUpdate* upd, int* updateRc) {
    if (!lock.Held()) {
        return 1;
    }
    Lookup found = FindRegistration(db, id, reg);
    if (found != Lookup::kFound) {
        return found == Lookup::kUnknown ? -1 : 1;
    }
    *updateRc = Get(db, TASK_SERVICE_DB_KEY_UPDATE + Slot(id), upd);
    return *updateRc > 0 ? 1 : 0;
}

}  // namespace

extern "C" int TASK_TaskServiceRegister(const void* registration, void* taskInfo,
                                        uint32_t* startTime, uint8_t kind) {
    if (registration == nullptr || taskInfo == nullptr) {
        return -1;
    }
    BMC_Db* db = DB_GetCurrentDb();
    if (db == nullptr) {
        return 1;
    }
    ServiceLock lock;
    if (!lock.Held()) {
        return 1;
    }
    uint32_t last = 0;
    if (Get(db, TASK_SERVICE_DB_KEY_LAST_ID, &last) > 0) {
        return 1;
    }
    uint32_t id = last == UINT32_MAX ? 1u : last + 1u;
    uint32_t now = Now();
    // The slot's previous task loses its update first, then its registration: a reader
    // never pairs the new registration with the old task's update.
    TaskServiceStoredUpdate upd{};
    upd.uiTaskId = id;
    TaskServiceStoredRegistration reg{};
    reg.uiTaskId = id;
    reg.uiKind = kind;
    reg.uiTime = now;
    memcpy(&reg.stRecord, registration, sizeof reg.stRecord);
    if (!Put(db, TASK_SERVICE_DB_KEY_UPDATE + Slot(id), upd) ||
        !Put(db, TASK_SERVICE_DB_KEY_REGISTRATION + Slot(id), reg) ||
        !Put(db, TASK_SERVICE_DB_KEY_LAST_ID, id)) {
        return 1;
    }
    memcpy(taskInfo, &id, sizeof id);
    if (startTime != nullptr) {
        *startTime = now;
    }
    return 0;
}

extern "C" int TASK_TaskServiceUpdate(const void* update) {
    if (update == nullptr) {
        return -1;
    }
    TaskServiceStoredUpdate next{};
    memcpy(&next.stRecord, update, sizeof next.stRecord);
    uint32_t id = next.stRecord.uiTaskId;
    BMC_Db* db = DB_GetCurrentDb();
    if (db == nullptr) {
        return 1;
    }
    ServiceLock lock;
    TaskServiceStoredRegistration reg{};
    TaskServiceStoredUpdate previous{};
    int rc = 0;
    int known = ReadTask(lock, db, id, &reg, &previous, &rc);
    if (known != 0) {
        return known;
    }
    next.uiTaskId = id;
    next.uiCount = (rc == 0 && previous.uiTaskId == id ? previous.uiCount : 0u) + 1u;
    next.uiTime = Now();
    return Put(db, TASK_SERVICE_DB_KEY_UPDATE + Slot(id), next) ? 0 : 1;
}

extern "C" int TASK_TaskServiceRead(uint32_t id, TaskServiceStoredRegistration* registration,
                                    TaskServiceStoredUpdate* update) {
    BMC_Db* db = DB_GetCurrentDb();
    if (db == nullptr) {
        return 1;
    }
    // Under the lock, so that the two records belong to the same moment.
    ServiceLock lock;
    TaskServiceStoredRegistration reg{};
    TaskServiceStoredUpdate upd{};
    int rc = 0;
    int known = ReadTask(lock, db, id, &reg, &upd, &rc);
    if (known != 0) {
        return known;
    }
    if (rc < 0 || upd.uiTaskId != id) {
        upd = TaskServiceStoredUpdate{};
        upd.uiTaskId = id;
    }
    if (registration != nullptr) {
        *registration = reg;
    }
    if (update != nullptr) {
        *update = upd;
    }
    return 0;
}

extern "C" uint32_t TASK_TaskServiceLastId(void) {
    uint32_t last = 0;
    BMC_Db* db = DB_GetCurrentDb();
    if (db == nullptr || Get(db, TASK_SERVICE_DB_KEY_LAST_ID, &last) != 0) {
        return 0;
    }
    return last;
}
