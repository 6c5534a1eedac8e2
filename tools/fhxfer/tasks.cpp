// The library's tasks, from any process: status, tasks, watch and delete.
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "fhxfer.h"

namespace fhxfer {

namespace {

Json TaskJson(uint32_t id, const ComponentProcess& r) {
    return Json{{"task", id},
                {"stage", r.uiStage},
                {"stage_text", r.szStageDesc},
                {"percent", r.ucPercent},
                {"result", Hex(r.uiResultCode)},
                {"updated", UtcText(r.uiTime) + "Z"},
                {"description", MaskCredentials(r.szDescription)}};
}

void PrintTaskRow(uint32_t id, const ComponentProcess& r) {
    printf("%5u  %-5u %-14.14s %3u%%  %s  %s  %s\n", id, r.uiStage, r.szStageDesc, r.ucPercent,
           Hex(r.uiResultCode).c_str(), UtcText(r.uiTime).c_str(),
           MaskCredentials(r.szDescription).c_str());
}

const char kTaskHeader[] =
    "   ID  STAGE                    PCT  RESULT      UPDATED (UTC)        DESCRIPTION\n";

struct TaskRow {
    uint32_t id = 0;
    bool readable = false;
    ComponentProcess rec{};
};

bool Snapshot(std::vector<TaskRow>* rows, uint32_t* rc) {
    TransferTaskInfo info{};
    *rc = FILEHANDLE_GetTransferTaskInfo(&info);
    rows->clear();
    if (*rc == FILEHANDLE_E_DB_READ) {
        // Until the first task of this controller there is no table record to read.
        *rc = 0;
        return true;
    }
    if (*rc != 0) {
        return false;
    }
    for (unsigned i = 0; i < info.ucTaskNum && i < FILEHANDLE_THREAD_MAX; ++i) {
        TaskRow row;
        row.id = info.auiIdentifier[i];
        row.readable = FILEHANDLE_UploadDownloadProgress(row.id, &row.rec) == 0;
        rows->push_back(row);
    }
    return true;
}

Json SnapshotJson(const std::vector<TaskRow>& rows) {
    Json list = Json::array();
    for (const TaskRow& r : rows) {
        list.push_back(r.readable ? TaskJson(r.id, r.rec)
                                  : Json{{"task", r.id}, {"stage", nullptr}});
    }
    return list;
}

void PrintSnapshot(const std::vector<TaskRow>& rows) {
    printf("%s", kTaskHeader);
    for (const TaskRow& r : rows) {
        if (r.readable) {
            PrintTaskRow(r.id, r.rec);
        } else {
            printf("%5u  (no progress record)\n", r.id);
        }
    }
    if (rows.empty()) {
        printf("  (no tasks)\n");
    }
}

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

}  // namespace

int Status(const Args& a) {
    uint32_t id = 0;
    if (!ParseId(a, a.pos[0], &id)) {
        return kExitUsage;
    }
    ComponentProcess rec{};
    uint32_t rc = FILEHANDLE_UploadDownloadProgress(id, &rec);
    if (rc != 0) {
        return Fail(a, kExitLookup, "task " + std::to_string(id) + ": no progress record", rc);
    }
    if (a.json) {
        Json j = TaskJson(id, rec);
        j["ok"] = true;
        EmitJson(j);
    } else {
        printf("%s", kTaskHeader);
        PrintTaskRow(id, rec);
    }
    return kExitOk;
}

int Tasks(const Args& a) {
    std::vector<TaskRow> rows;
    uint32_t rc = 0;
    if (!Snapshot(&rows, &rc)) {
        return Fail(a, kExitLookup, "tasks cannot be listed", rc);
    }
    if (a.json) {
        EmitJson(Json{{"ok", true}, {"tasks", SnapshotJson(rows)}});
    } else {
        PrintSnapshot(rows);
    }
    return kExitOk;
}

// All tasks of the controller, refreshed: the table is kept by the library in shared
// storage, so this follows the transfers of every process.
int Watch(const Args& a) {
    unsigned long interval = 500;
    if (const char* v = a.Value("interval")) {
        if (!ParseNumber(v, 60000, &interval) || interval < 20) {
            return Fail(a, kExitUsage, "--interval wants 20 to 60000 milliseconds");
        }
    }
    bool once = a.Has("once");
    bool untilIdle = a.Has("until-idle");
    bool screen = !a.json && isatty(STDOUT_FILENO);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    std::string last;
    while (!g_stop) {
        std::vector<TaskRow> rows;
        uint32_t rc = 0;
        if (!Snapshot(&rows, &rc)) {
            return Fail(a, kExitLookup, "tasks cannot be listed", rc);
        }
        Json list = SnapshotJson(rows);
        std::string now = list.dump(-1, ' ', false, Json::error_handler_t::replace);
        if (now != last || once) {
            last = now;
            if (a.json) {
                EmitJson(Json{{"time", UtcText(static_cast<uint32_t>(time(nullptr))) + "Z"},
                              {"tasks", list}});
            } else {
                if (screen) {
                    printf("\033[H\033[J");  // redraw in place
                }
                printf("fhxfer watch  %s UTC  (every %lu ms%s)\n",
                       UtcText(static_cast<uint32_t>(time(nullptr))).c_str(), interval,
                       screen ? ", Ctrl-C to stop" : "");
                PrintSnapshot(rows);
                fflush(stdout);
            }
        }
        bool busy = false;
        for (const TaskRow& r : rows) {
            busy = busy || !r.readable ||
                   (r.rec.uiStage != FILEHANDLE_STAGE_SUCCEED &&
                    r.rec.uiStage != FILEHANDLE_STAGE_FAILED);
        }
        if (once || (untilIdle && !busy)) {
            break;
        }
        usleep(static_cast<useconds_t>(interval * 1000));
    }
    return kExitOk;
}

int Delete(const Args& a) {
    uint32_t id = 0;
    if (!ParseId(a, a.pos[0], &id)) {
        return kExitUsage;
    }
    uint32_t rc = FILEHANDLE_DeleteProgressInfo(id);
    if (rc != 0) {
        return Fail(a, kExitLookup, "task " + std::to_string(id) + " cannot be deleted", rc);
    }
    if (a.json) {
        EmitJson(Json{{"ok", true}, {"task", id}});
    }
    return kExitOk;
}

}  // namespace fhxfer
