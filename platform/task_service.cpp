// Task service, operation log, feature switches and process name. Each keeps its state
// where another process can read it: tasks in the key-value database, the operation log
// as a text file, the switches as files a host (or a test) writes.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include "common/raii.h"
#include "platform/bmc_platform.h"
#include "platform/platform_internal.h"

namespace {

constexpr size_t kOriginInterfaceMax = sizeof(OperateLogOrigin::szInterface);
constexpr size_t kOriginTextMax = sizeof(OperateLogOrigin::szSource);
constexpr size_t kMessageMax = 512;  // what a caller of the operation log may hand over
constexpr size_t kSwitchFileMax = 64;

// ---- task service ----

// Holds the task service's inter-process lock for its lifetime.
class ServiceLock {
  public:
    ServiceLock() { held_ = BMC_FileLock_AcquireLock(TASK_SERVICE_LOCK_NAME, &handle_) == 0; }
    ~ServiceLock() {
        if (held_) {
            BMC_FileLock_ReleaseLock(handle_);
        }
    }
    ServiceLock(const ServiceLock&) = delete;
    ServiceLock& operator=(const ServiceLock&) = delete;
    bool Held() const { return held_; }

  private:
    BMC_LOCK_HANDLE handle_ = 0;
    bool held_ = false;
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

// ---- operation log ----

// Appends `text` (at most `max` bytes, up to its terminator) in double quotes, with '"',
// '\' and control bytes as \xNN so that the entry stays on one line.
void AppendQuoted(std::string& out, const char* text, size_t max) {
    out.push_back('"');
    for (size_t i = 0; text != nullptr && i < max && text[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\' || c < 0x20 || c == 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
}

// ---- switches ----

// The decimal number 0..255 held by the file; false when it is missing or holds anything
// else.
bool ReadSwitch(const std::string& path, uint8_t* value) {
    fh::UniqueFile f(fopen(path.c_str(), "re"));
    if (!f) {
        return false;
    }
    char text[kSwitchFileMax + 1] = {0};
    size_t n = fread(text, 1, kSwitchFileMax, f.Get());
    if (n == kSwitchFileMax || ferror(f.Get()) != 0) {
        return false;  // longer than any number we accept, or unreadable
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isspace(*p) != 0) {
        ++p;
    }
    if (isdigit(*p) == 0) {
        return false;
    }
    unsigned v = 0;
    for (; isdigit(*p) != 0; ++p) {
        v = v * 10u + static_cast<unsigned>(*p - '0');
        if (v > 255u) {
            return false;
        }
    }
    while (isspace(*p) != 0) {
        ++p;
    }
    if (*p != '\0') {
        return false;
    }
    *value = static_cast<uint8_t>(v);
    return true;
}

// A section or name that can only ever name a file directly inside BMC_CAPABILITY_DIR.
bool SafeSwitchPart(const char* part) {
    return part != nullptr && part[0] != '\0' && part[0] != '.' && strchr(part, '/') == nullptr;
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
    if (!lock.Held()) {
        return 1;
    }
    TaskServiceStoredRegistration reg{};
    Lookup found = FindRegistration(db, id, &reg);
    if (found != Lookup::kFound) {
        return found == Lookup::kUnknown ? -1 : 1;
    }
    TaskServiceStoredUpdate previous{};
    int rc = Get(db, TASK_SERVICE_DB_KEY_UPDATE + Slot(id), &previous);
    if (rc > 0) {
        return 1;
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
    if (!lock.Held()) {
        return 1;
    }
    TaskServiceStoredRegistration reg{};
    Lookup found = FindRegistration(db, id, &reg);
    if (found != Lookup::kFound) {
        return found == Lookup::kUnknown ? -1 : 1;
    }
    TaskServiceStoredUpdate upd{};
    int rc = Get(db, TASK_SERVICE_DB_KEY_UPDATE + Slot(id), &upd);
    if (rc > 0) {
        return 1;
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

extern "C" int OPERATELOG_AddLogComm(uint32_t originId, uint8_t resultLetter, const char* message,
                                     const void* origin, const char* originText, uint32_t line,
                                     uint32_t module) {
    if (message == nullptr) {
        return -1;
    }
    std::string out = bmc::NowText();
    out += " origin=" + std::to_string(originId) + " interface=";
    // The origin is any caller's buffer: read it as bytes, never through a misaligned
    // record pointer.
    AppendQuoted(out,
                 origin != nullptr
                     ? static_cast<const char*>(origin) + offsetof(OperateLogOrigin, szInterface)
                     : nullptr,
                 kOriginInterfaceMax);
    out += " source=";
    AppendQuoted(out, originText, kOriginTextMax);
    out += " result=";
    if (isgraph(resultLetter) != 0 && resultLetter != '"' && resultLetter != '\\') {
        out.push_back(static_cast<char>(resultLetter));
    } else {
        char esc[8];
        snprintf(esc, sizeof esc, "\\x%02x", resultLetter);
        out += esc;
    }
    out += " line=" + std::to_string(line) + " module=" + std::to_string(module) + " message=";
    AppendQuoted(out, message, kMessageMax);
    out.push_back('\n');
    return bmc::AppendLine(BMC_OPERATE_LOG_PATH, out) ? 0 : -1;
}

extern "C" int BMC_GetOemFlag(uint8_t* flag) {
    if (flag == nullptr) {
        return -1;
    }
    return ReadSwitch(BMC_OEM_FLAG_PATH, flag) ? 0 : -1;
}

extern "C" int CAP_GetCharCapabilityWithName(const char* section, const char* name,
                                             uint8_t* value) {
    if (value == nullptr || !SafeSwitchPart(section) || !SafeSwitchPart(name)) {
        return -1;
    }
    std::string path = std::string(BMC_CAPABILITY_DIR) + "/" + section + "." + name;
    return ReadSwitch(path, value) ? 0 : -1;
}

extern "C" int BMC_GetCurrentProcessName(uint32_t size, char* buffer) {
    if (buffer == nullptr || size == 0) {
        return -1;
    }
    char name[64] = {0};
    fh::UniqueFile f(fopen("/proc/self/comm", "re"));
    if (f && fgets(name, sizeof name, f.Get()) != nullptr) {
        name[strcspn(name, "\n")] = '\0';
    } else {
        BMC_Strlcpy(name, program_invocation_short_name, sizeof name);
    }
    BMC_Strlcpy(buffer, name, size);
    return 0;
}
