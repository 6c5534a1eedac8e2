#include "tasks.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <future>

#include "frontend/filehandle_ulanddl.h"
#include "platform/bmc_platform.h"

namespace fhrf {

namespace {

constexpr char kTasksPath[] = "/redfish/v1/TaskService/Tasks/";
constexpr char kMonitorsPath[] = "/redfish/v1/TaskService/TaskMonitors/";
constexpr char kLogoPrefix[] = "Logo";
constexpr char kLogoTaskKey[] = "LogoUploading";  // the key the library registers with
// The library expires a task at stage 1 that has not been written for more than 120
// seconds; a record that old belongs to a worker that is gone (or hung).
constexpr uint32_t kStalledSeconds = 120;
constexpr std::chrono::seconds kLogoRegisterWait{10};

// A library record that may hold credentials: zeroed when made and wiped when dropped.
template <typename T>
class WipedRecord {
  public:
    WipedRecord() { memset(&value_, 0, sizeof value_); }
    ~WipedRecord() { explicit_bzero(&value_, sizeof value_); }
    WipedRecord(const WipedRecord&) = delete;
    WipedRecord& operator=(const WipedRecord&) = delete;
    T* operator->() { return &value_; }
    T* get() { return &value_; }

  private:
    T value_;
};

template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

template <size_t N>
bool CopyField(char (&field)[N], const std::string& text) {
    if (text.size() >= N) {
        return false;
    }
    memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

Json TaskSkeleton(const TaskRef& ref, const char* name) {
    Json t;
    t["@odata.context"] = "/redfish/v1/$metadata#Task.Task";
    t["@odata.id"] = TaskUri(ref);
    t["@odata.type"] = "#Task.v1_4_3.Task";
    t["Id"] = TaskIdText(ref);
    t["Name"] = name;
    t["TaskMonitor"] = TaskMonitorUri(ref);
    return t;
}

TaskView ReadTransfer(const TaskRef& ref, uint32_t now) {
    TaskView view;
    ComponentProcess record;
    memset(&record, 0, sizeof record);
    uint32_t rc = FILEHANDLE_UploadDownloadProgress(ref.id, &record);
    if (rc == FILEHANDLE_E_NO_PROGRESS_PATH || rc == FILEHANDLE_E_NO_PROGRESS_FILE) {
        view.lookup = TaskView::kMissing;
        return view;
    }
    if (rc != 0) {
        view.lookup = TaskView::kUnreadable;
        view.readCode = rc;
        return view;
    }
    view.lookup = TaskView::kFound;
    std::string id = TaskIdText(ref);
    Json t = TaskSkeleton(ref, ("File transfer task " + id).c_str());
    int percent = record.ucPercent > 100 ? 100 : record.ucPercent;
    std::string description = FieldText(record.szDescription);
    Json messages = Json::array();
    bool stalled = (record.uiStage == FILEHANDLE_STAGE_TRANSFERRING ||
                    record.uiStage == FILEHANDLE_STAGE_NOT_SUPPORTED) &&
                   record.uiTime != 0 && now > record.uiTime &&
                   now - record.uiTime > kStalledSeconds;
    if (record.uiStage == FILEHANDLE_STAGE_SUCCEED) {
        view.ended = true;
        t["TaskState"] = "Completed";
        t["TaskStatus"] = "OK";
        percent = 100;
        messages.push_back(Message("TaskEvent.TaskCompletedOK", {id}));
    } else if (record.uiStage == FILEHANDLE_STAGE_FAILED) {
        view.ended = view.failed = true;
        t["TaskState"] = "Exception";
        t["TaskStatus"] = "Critical";
        messages.push_back(Message("TaskEvent.TaskAborted", {id}));
        messages.push_back(
            Message("FileHandle.TransferFailed", {description, HexCode(record.uiResultCode)}));
    } else if (stalled) {
        view.ended = view.failed = true;
        t["TaskState"] = "Exception";
        t["TaskStatus"] = "Critical";
        messages.push_back(Message("TaskEvent.TaskAborted", {id}));
        messages.push_back(
            Message("FileHandle.TransferStalled", {std::to_string(now - record.uiTime)}));
    } else if (record.uiStage == FILEHANDLE_STAGE_TRANSFERRING ||
               record.uiStage == FILEHANDLE_STAGE_NOT_SUPPORTED) {
        t["TaskState"] = "Running";
        t["TaskStatus"] = "OK";
        messages.push_back(Message("TaskEvent.TaskProgressChanged", {id, std::to_string(percent)}));
    } else {  // a stage that no writer of the library uses
        view.ended = view.failed = true;
        t["TaskState"] = "Exception";
        t["TaskStatus"] = "Critical";
        messages.push_back(Message("TaskEvent.TaskAborted", {id}));
    }
    t["PercentComplete"] = percent;
    if (view.ended && record.uiTime != 0) {
        t["EndTime"] = RedfishTime(record.uiTime);
    }
    t["Messages"] = messages;
    Json oem;
    oem["@odata.type"] = "#FileHandleTask.v1_0_0.FileHandleTask";
    oem["Stage"] = record.uiStage;
    oem["StageDescription"] = FieldText(record.szStageDesc);
    oem["Description"] = description;
    oem["ResultCode"] = HexCode(record.uiResultCode);
    if (record.uiTime != 0) {
        oem["LastUpdate"] = RedfishTime(record.uiTime);
    }
    t["Oem"]["FileHandle"] = oem;
    view.task = t;
    return view;
}

// Reads a Task-service task; only logo uploads are shown.
bool ReadLogoRecords(uint32_t id, TaskServiceStoredRegistration* reg, TaskServiceStoredUpdate* upd,
                     int* rc) {
    memset(reg, 0, sizeof *reg);
    if (upd != nullptr) {
        memset(upd, 0, sizeof *upd);
    }
    *rc = TASK_TaskServiceRead(id, reg, upd);
    return *rc == 0 && FieldText(reg->stRecord.szKey) == kLogoTaskKey;
}

TaskView ReadLogo(const TaskRef& ref, uint32_t now) {
    TaskView view;
    TaskServiceStoredRegistration reg;
    TaskServiceStoredUpdate upd;
    int rc = 0;
    if (!ReadLogoRecords(ref.id, &reg, &upd, &rc)) {
        view.lookup = rc > 0 ? TaskView::kUnreadable : TaskView::kMissing;
        view.readCode = static_cast<uint32_t>(rc);
        return view;
    }
    view.lookup = TaskView::kFound;
    std::string id = TaskIdText(ref);
    Json t = TaskSkeleton(ref, FieldText(reg.stRecord.szName).c_str());
    t["Description"] = FieldText(reg.stRecord.szDescription);
    if (reg.uiTime != 0) {
        t["StartTime"] = RedfishTime(reg.uiTime);
    }
    Json messages = Json::array();
    int percent =
        upd.uiCount == 0 ? 0 : (upd.stRecord.ucPercent > 100 ? 100 : upd.stRecord.ucPercent);
    std::string text = FieldText(upd.stRecord.szMessage);
    if (upd.uiCount != 0 && upd.stRecord.ucState == TASK_SERVICE_STATE_COMPLETED) {
        view.ended = true;
        t["TaskState"] = "Completed";
        t["TaskStatus"] = "OK";
        messages.push_back(Message("TaskEvent.TaskCompletedOK", {id}));
    } else if (upd.uiCount != 0 && upd.stRecord.ucState == TASK_SERVICE_STATE_EXCEPTION) {
        view.ended = view.failed = true;
        t["TaskState"] = "Exception";
        t["TaskStatus"] = "Critical";
        messages.push_back(Message("TaskEvent.TaskAborted", {id}));
        messages.push_back(Message("FileHandle.LogoUploadFailed", {text}));
    } else if (uint32_t last = upd.uiCount != 0 ? upd.uiTime : reg.uiTime;
               last != 0 && now > last && now - last > kStalledSeconds) {
        // The upload gives up on a transfer that stalls for half a second, so a task that
        // has not been updated for this long belongs to an upload whose process ended.
        view.ended = view.failed = true;
        t["TaskState"] = "Exception";
        t["TaskStatus"] = "Critical";
        messages.push_back(Message("TaskEvent.TaskAborted", {id}));
        messages.push_back(Message("FileHandle.TransferStalled", {std::to_string(now - last)}));
    } else {
        t["TaskState"] = "Running";
        t["TaskStatus"] = "OK";
        messages.push_back(Message("TaskEvent.TaskProgressChanged", {id, std::to_string(percent)}));
    }
    t["PercentComplete"] = percent;
    if (view.ended && upd.uiTime != 0) {
        t["EndTime"] = RedfishTime(upd.uiTime);
    }
    t["Messages"] = messages;
    view.task = t;
    return view;
}

std::string OwnProcessName() {
    char name[128] = "";
    // Unreadable, the name stays empty: no task is then recognised as this process's own.
    (void)BMC_GetCurrentProcessName(sizeof name, name);
    return std::string(name).substr(0, sizeof(TaskServiceRegistration::szOwner) - 1);
}

// The first logo task registered by this process after `before`, or 0.
uint32_t FindLogoTask(uint32_t before) {
    static const std::string self = OwnProcessName();
    uint32_t last = TASK_TaskServiceLastId();
    for (uint32_t id = before + 1; id != 0 && id <= last; ++id) {
        TaskServiceStoredRegistration reg;
        int rc = 0;
        if (ReadLogoRecords(id, &reg, nullptr, &rc) && FieldText(reg.stRecord.szOwner) == self) {
            return id;
        }
    }
    return 0;
}

}  // namespace

const char* const kTaskRoute = "/redfish/v1/TaskService/Tasks/([^/]+)/?";
const char* const kTaskMonitorRoute = "/redfish/v1/TaskService/TaskMonitors/([^/]+)/?";

std::optional<TaskRef> ParseTaskId(const std::string& text) {
    auto number = [](const std::string& digits) -> std::optional<uint32_t> {
        if (digits.empty() || digits.size() > 9 || digits[0] == '0') {
            return std::nullopt;
        }
        uint32_t value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        return value;
    };
    if (text.compare(0, sizeof kLogoPrefix - 1, kLogoPrefix) == 0) {
        auto n = number(text.substr(sizeof kLogoPrefix - 1));
        if (n) {
            return TaskRef{TaskRef::kLogo, *n};
        }
        return std::nullopt;
    }
    auto n = number(text);
    if (n && *n >= 1 && *n <= FILEHANDLE_THREAD_MAX) {
        return TaskRef{TaskRef::kTransfer, *n};
    }
    return std::nullopt;
}

std::string TaskIdText(const TaskRef& ref) {
    return (ref.kind == TaskRef::kLogo ? kLogoPrefix : "") + std::to_string(ref.id);
}

std::string TaskUri(const TaskRef& ref) {
    return kTasksPath + TaskIdText(ref);
}

std::string TaskMonitorUri(const TaskRef& ref) {
    return kMonitorsPath + TaskIdText(ref);
}

TaskView ReadTask(const TaskRef& ref, uint32_t now) {
    return ref.kind == TaskRef::kLogo ? ReadLogo(ref, now) : ReadTransfer(ref, now);
}

bool ListTasks(std::vector<TaskRef>* tasks) {
    TransferTaskInfo info;
    memset(&info, 0, sizeof info);
    uint32_t rc = FILEHANDLE_GetTransferTaskInfo(&info);
    // Until the first transfer creates the task table the listing cannot read it; that is
    // a table without tasks.
    if (rc == FILEHANDLE_E_DB_READ) {
        info.ucTaskNum = 0;
    } else if (rc != 0) {
        return false;
    }
    for (uint32_t i = 0; i < info.ucTaskNum && i < FILEHANDLE_THREAD_MAX; ++i) {
        tasks->push_back(TaskRef{TaskRef::kTransfer, info.auiIdentifier[i]});
    }
    uint32_t last = TASK_TaskServiceLastId();
    uint32_t first = last > TASK_SERVICE_SLOTS ? last - TASK_SERVICE_SLOTS + 1 : 1;
    for (uint32_t id = first; id != 0 && id <= last; ++id) {
        TaskServiceStoredRegistration reg;
        int rc = 0;
        if (ReadLogoRecords(id, &reg, nullptr, &rc)) {
            tasks->push_back(TaskRef{TaskRef::kLogo, id});
        }
    }
    return true;
}

bool TransferSlotsFull() {
    TransferTaskInfo info;
    memset(&info, 0, sizeof info);
    return FILEHANDLE_GetTransferTaskInfo(&info) == 0 && info.ucTaskNum >= FILEHANDLE_THREAD_MAX;
}

StartResult StartTransfer(const TransferPlan& plan, const std::string& localPath,
                          const std::string& caBundle) {
    StartResult result;
    WipedRecord<RedfishInfo> request;
    request->ucFileMode = 0;
    request->ucHandleType = FILEHANDLE_DOWNLOAD;
    if (!CopyField(request->szLocalPath, localPath) ||
        !CopyField(request->szRedfishCmd, plan.command)) {
        result.kind = StartResult::kRefused;
        return result;
    }
    // Parsed here first: the entry answers a refused URI and a full task table with the
    // same result, and a URI it refuses must not become a task.
    WipedRecord<ComponentInfo> parsed;
    uint32_t rc = FILEHANDLE_ParseRedfishStruct(request.get(), parsed.get());
    if (rc != 0 || parsed->ucProtocolType == FILEHANDLE_PROTOCOL_LOCAL) {
        result.kind = StartResult::kRefused;
        result.code = rc;
        return result;
    }
    uint32_t id = 0;
    bool verify = parsed->ucHttpsFlag == 1 && !caBundle.empty();
    if (!plan.httpUser.empty() || verify) {
        // The library's URI grammar has no place for HTTP credentials or a CA bundle; they
        // travel in the request's own fields.
        if (!plan.httpUser.empty()) {
            parsed->ucHttpAuthFlag = 1;
        }
        if ((!plan.httpUser.empty() && (!CopyField(parsed->szHttpUserName, plan.httpUser) ||
                                        !CopyField(parsed->szHttpPassword, plan.httpPassword))) ||
            (verify && !CopyField(parsed->szCaCertFile, caBundle))) {
            result.kind = StartResult::kRefused;
            return result;
        }
        if (verify) {
            parsed->ucVerificationType = 1;
        }
        rc = FILEHANDLE_UploadDownloadFileImage(parsed.get(), &id);
    } else {
        rc = FILEHANDLE_UploadDownloadFileImageForRedfish(request.get(), &id);
    }
    if (rc == 0 && id != 0) {
        result.kind = StartResult::kStarted;
        result.id = id;
        return result;
    }
    result.code = rc;
    result.kind = rc == FILEHANDLE_E_NO_TASK && TransferSlotsFull() ? StartResult::kBusy
                                                                    : StartResult::kFailed;
    return result;
}

DeleteResult DeleteTask(const TaskRef& ref, uint32_t* code) {
    *code = 0;
    if (ref.kind == TaskRef::kLogo) {
        TaskServiceStoredRegistration reg;
        int rc = 0;
        return ReadLogoRecords(ref.id, &reg, nullptr, &rc) ? DeleteResult::kNotDeletable
                                                           : DeleteResult::kMissing;
    }
    char path[256] = "";
    if (FILEHANDLE_GetProgressFile(ref.id, path) != 0) {
        return DeleteResult::kMissing;
    }
    // Frees the slot and removes the progress record; a libcurl worker then abandons its
    // transfer at its next progress report.
    *code = FILEHANDLE_DeleteProgressInfo(ref.id);
    return *code == 0 ? DeleteResult::kDeleted : DeleteResult::kFailed;
}

LogoUploads::~LogoUploads() {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (Worker& w : workers_) {
        w.thread.join();
    }
}

void LogoUploads::ReapFinished() {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

std::vector<std::string> LogoUploads::Names() {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < g_uiLogoInfoArrSize; ++i) {
        std::string name = FieldText(g_astLogoInfo[i].szFileName);
        if (!name.empty()) {
            names.push_back(name);
        }
    }
    return names;
}

LogoUploads::Outcome LogoUploads::Start(const std::string& command, const std::string& requester) {
    ReapFinished();
    std::lock_guard<std::mutex> startLock(startMutex_);
    uint32_t before = TASK_TaskServiceLastId();
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto result = std::make_shared<std::promise<uint32_t>>();
    std::future<uint32_t> finished = result->get_future();
    {
        std::lock_guard<std::mutex> lock(workersMutex_);
        Worker worker;
        worker.done = done;
        worker.thread =
            std::thread([cmd = std::string(command), requester, done, result]() mutable {
                OperateLogOrigin origin;
                memset(&origin, 0, sizeof origin);
                snprintf(origin.szInterface, sizeof origin.szInterface, "%s", "Redfish");
                snprintf(origin.szSource, sizeof origin.szSource, "%s", requester.c_str());
                TaskServiceTaskInfo info;
                memset(&info, 0, sizeof info);
                uint32_t rc = FILEHANDLE_UploadLogo(cmd.c_str(), &origin, &info);
                Wipe(&cmd);
                result->set_value(rc);
                done->store(true);
            });
        workers_.push_back(std::move(worker));
    }
    Outcome outcome;
    auto deadline = std::chrono::steady_clock::now() + kLogoRegisterWait;
    for (;;) {
        bool ended = finished.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready;
        uint32_t id = FindLogoTask(before);
        if (id != 0) {
            outcome.kind = Outcome::kTask;
            outcome.taskId = id;
            return outcome;
        }
        if (ended) {
            outcome.code = finished.get();
            outcome.kind = outcome.code != 0 ? Outcome::kRefused : Outcome::kDoneWithoutTask;
            return outcome;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            outcome.kind = Outcome::kTimeout;
            return outcome;
        }
    }
}

}  // namespace fhrf
