// Following one task to its end through the public progress call: the start-and-wait call,
// the logo upload and the command-line tool poll the same way.
#pragma once

#include <stdint.h>

#include <chrono>
#include <thread>

#include "frontend/filehandle_ulanddl.h"

namespace fh {

enum class TaskEnd { kSucceeded, kFailed, kStalled, kUnreadable };

// Polls task `id` every `interval` until its record shows stage 2 or 3, cannot be read
// (`*readResult` then holds why), or its percentage has stayed the same for `stallPolls`
// polls in a row (0: a task never stalls). `running(record, moved)` sees every record of a
// running task, `moved` telling whether its percentage changed. `*rec` is the last record.
template <typename Running>
TaskEnd FollowTask(uint32_t id, std::chrono::microseconds interval, uint32_t stallPolls,
                   ComponentProcess* rec, uint32_t* readResult, Running running) {
    uint8_t previous = 0;
    uint32_t remaining = stallPolls;
    for (;;) {
        *rec = ComponentProcess{};
        uint32_t rc = FILEHANDLE_UploadDownloadProgress(id, rec);
        if (rc != FILEHANDLE_OK) {
            *readResult = rc;
            return TaskEnd::kUnreadable;
        }
        if (rec->uiStage == FILEHANDLE_STAGE_SUCCEED) {
            return TaskEnd::kSucceeded;
        }
        if (rec->uiStage == FILEHANDLE_STAGE_FAILED) {
            return TaskEnd::kFailed;
        }
        bool moved = rec->ucPercent != previous;
        running(*rec, moved);
        if (moved) {
            previous = rec->ucPercent;
            remaining = stallPolls;
        } else if (remaining != 0) {
            --remaining;
        }
        std::this_thread::sleep_for(interval);
        if (stallPolls != 0 && remaining == 0) {
            return TaskEnd::kStalled;
        }
    }
}

}  // namespace fh
