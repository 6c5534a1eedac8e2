// Redfish tasks as views of what the library and the platform's Task service keep. The
// service holds no task state of its own: every answer is read from the library's task
// table and progress records (transfer tasks, Redfish Ids "1".."10", the library's own
// identifiers) or from the Task service (logo uploads, Ids "Logo<n>"), so a restarted
// service, or another program that uses the library, sees the same tasks.
#ifndef FHREDFISHD_TASKS_H
#define FHREDFISHD_TASKS_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "image_uri.h"
#include "messages.h"

namespace fhrf {

struct TaskRef {
    enum Kind { kTransfer, kLogo } kind;
    uint32_t id;
};

// The routes of one task and of its monitor (matched whole against the decoded path);
// group 1 is the task's identifier, which ParseTaskId reads.
extern const char* const kTaskRoute;
extern const char* const kTaskMonitorRoute;

std::optional<TaskRef> ParseTaskId(const std::string& text);
std::string TaskIdText(const TaskRef& ref);
std::string TaskUri(const TaskRef& ref);
std::string TaskMonitorUri(const TaskRef& ref);

struct TaskView {
    enum Lookup { kFound, kMissing, kUnreadable } lookup = kMissing;
    uint32_t readCode = 0;  // the library's or Task service's answer when unreadable
    bool ended = false;
    bool failed = false;
    Json task;  // the Task resource
};

// Reads one task; `now` (seconds since the epoch) judges a transfer that stopped moving.
TaskView ReadTask(const TaskRef& ref, uint32_t now);

// Every task the library's table and the Task service hold, in Id order. False when the
// library's task table cannot be read.
bool ListTasks(std::vector<TaskRef>* tasks);

// Whether all ten of the library's task slots are taken.
bool TransferSlotsFull();

struct StartResult {
    enum Kind { kStarted, kRefused, kBusy, kFailed } kind = kFailed;
    uint32_t id = 0;
    uint32_t code = 0;  // the library's result when not started
};

// Starts the download of `plan` into `localPath` through the library.
// A non-empty `caBundle` fetches HTTPS images with full peer and host verification.
StartResult StartTransfer(const TransferPlan& plan, const std::string& localPath,
                          const std::string& caBundle);

enum class DeleteResult { kDeleted, kMissing, kNotDeletable, kFailed };
DeleteResult DeleteTask(const TaskRef& ref, uint32_t* code);

// Logo uploads. The library's upload call blocks until the image is installed, so each
// runs on a thread of its own; the caller waits only until its Task-service task exists.
class LogoUploads {
  public:
    struct Outcome {
        enum Kind { kTask, kRefused, kDoneWithoutTask, kTimeout } kind = kTimeout;
        uint32_t taskId = 0;
        uint32_t code = 0;
    };
    LogoUploads() = default;
    LogoUploads(const LogoUploads&) = delete;
    LogoUploads& operator=(const LogoUploads&) = delete;
    ~LogoUploads();

    // `command` is the transfer URI of the image; `requester` goes to the operation log.
    Outcome Start(const std::string& command, const std::string& requester);

    // The logo names the library can install.
    static std::vector<std::string> Names();

  private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void ReapFinished();

    std::mutex startMutex_;  // one start at a time: the next Task-service task is ours
    std::mutex workersMutex_;
    std::vector<Worker> workers_;
};

}  // namespace fhrf

#endif  // FHREDFISHD_TASKS_H
