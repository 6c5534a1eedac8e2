// logo and taskservice: the logo upload, and the Task-service records it leaves.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fhxfer.h"
#include "platform/bmc_platform.h"

namespace fhxfer {

namespace {

Json TaskServiceJson(const TaskServiceStoredRegistration& reg, const TaskServiceStoredUpdate& upd) {
    Json j{{"task", reg.uiTaskId},
           {"name", MaskCredentials(reg.stRecord.szName)},
           {"owner", reg.stRecord.szOwner},
           {"kind", reg.uiKind},
           {"registered", UtcText(reg.uiTime) + "Z"}};
    if (upd.uiCount == 0) {
        j["update"] = nullptr;
    } else {
        j["update"] = Json{{"count", upd.uiCount},
                           {"time", UtcText(upd.uiTime) + "Z"},
                           {"state", upd.stRecord.ucState},
                           {"percent", upd.stRecord.ucPercent},
                           {"message", MaskCredentials(upd.stRecord.szMessage)}};
    }
    return j;
}

void PrintTaskService(const TaskServiceStoredRegistration& reg,
                      const TaskServiceStoredUpdate& upd) {
    printf("task %u: \"%s\" by %s, kind %u, registered %s UTC", reg.uiTaskId,
           MaskCredentials(reg.stRecord.szName).c_str(), reg.stRecord.szOwner, reg.uiKind,
           UtcText(reg.uiTime).c_str());
    if (upd.uiCount == 0) {
        printf(", no update yet\n");
        return;
    }
    printf("\n  update %u at %s UTC: state %u, %u%%, %s\n", upd.uiCount,
           UtcText(upd.uiTime).c_str(), upd.stRecord.ucState, upd.stRecord.ucPercent,
           MaskCredentials(upd.stRecord.szMessage).c_str());
}

}  // namespace

// Installs a logo. The upload runs in this thread; another one follows the Task-service
// task it registers (the next identifier, unless another process registers a task at the
// same moment) and prints its percentage whenever it moves.
int Logo(const Args& a) {
    SecretText uri;
    if (!UriArgument(a, 0, &uri)) {
        return kExitUsage;
    }
    OperateLogOrigin origin;
    memset(&origin, 0, sizeof origin);
    BMC_Strlcpy(origin.szSource, "fhxfer", sizeof origin.szSource);
    TaskServiceTaskInfo info{};
    uint32_t last = TASK_TaskServiceLastId();
    uint32_t expected = last == UINT32_MAX ? 1u : last + 1u;
    std::atomic<bool> done{false};
    bool show = !a.json && !a.Has("quiet");
    std::thread watcher([&done, expected, show] {
        int shown = -1;
        for (bool more = true; more && show;) {
            more = !done.load();  // one more look after the upload returned
            TaskServiceStoredUpdate upd{};
            if (TASK_TaskServiceRead(expected, nullptr, &upd) == 0 && upd.uiCount > 0 &&
                upd.stRecord.ucPercent != shown) {
                shown = upd.stRecord.ucPercent;
                fprintf(stderr, "task %u: %3d%%  %s\n", expected, shown, upd.stRecord.szMessage);
            }
            if (more) {
                usleep(50 * 1000);
            }
        }
    });
    uint32_t rc = FILEHANDLE_UploadLogo(uri.text.c_str(), &origin, &info);
    done = true;
    watcher.join();
    TaskServiceStoredRegistration reg{};
    TaskServiceStoredUpdate upd{};
    bool haveTask = info.uiTaskId != 0 && TASK_TaskServiceRead(info.uiTaskId, &reg, &upd) == 0;
    int exitCode = rc == 0 ? kExitOk : (info.uiTaskId == 0 ? kExitRefused : kExitFailed);
    if (a.json) {
        EmitJson(Json{{"ok", rc == 0},
                      {"result", Hex(rc)},
                      {"task", haveTask ? TaskServiceJson(reg, upd) : Json(nullptr)},
                      {"exit", exitCode}});
        return exitCode;
    }
    if (haveTask) {
        PrintTaskService(reg, upd);
    }
    if (rc == 0) {
        printf("logo installed\n");
    } else {
        printf("logo not installed, result %s\n", Hex(rc).c_str());
    }
    return exitCode;
}

int TaskService(const Args& a) {
    std::vector<uint32_t> ids;
    if (!a.pos.empty()) {
        uint32_t id = 0;
        if (!ParseId(a, a.pos[0], &id)) {
            return kExitUsage;
        }
        ids.push_back(id);
    } else {
        uint32_t last = TASK_TaskServiceLastId();
        uint32_t first = last > TASK_SERVICE_SLOTS ? last - TASK_SERVICE_SLOTS + 1 : 1;
        for (uint32_t id = first; last != 0 && id <= last; ++id) {
            ids.push_back(id);
        }
    }
    Json list = Json::array();
    for (uint32_t id : ids) {
        TaskServiceStoredRegistration reg{};
        TaskServiceStoredUpdate upd{};
        if (TASK_TaskServiceRead(id, &reg, &upd) != 0) {
            if (!a.pos.empty()) {
                return Fail(a, kExitLookup, "task-service task " + a.pos[0] + " is not known");
            }
            continue;
        }
        if (a.json) {
            list.push_back(TaskServiceJson(reg, upd));
        } else {
            PrintTaskService(reg, upd);
        }
    }
    if (a.json) {
        EmitJson(Json{{"ok", true}, {"tasks", list}});
    }
    return kExitOk;
}

}  // namespace fhxfer
