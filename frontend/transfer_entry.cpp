// The main entry: check a request, give it a task and route it to its protocol's worker.

#include "common/fh_internal.h"
#include "common/protocols.h"
#include "task/task_table.h"
#include "workers/worker_frame.h"

using namespace fh;

namespace {

const char* RequestEventName(const ComponentInfo& req, bool* validType) {
    *validType = true;
    if (req.ucHandleType == FILEHANDLE_DOWNLOAD) {
        return EventFileName(req.szStorageAddress);
    }
    if (req.ucHandleType == FILEHANDLE_UPLOAD) {
        return EventFileName(req.szReadAddress);
    }
    *validType = false;
    return "Unknown";
}

// A task whose worker could not start is reported and deleted again.
uint32_t FailedStart(const char* eventName, uint32_t id) {
    FILEHANDLE_AddSdl_TaskExecutionFailed(eventName,
                                          "File upload and download initialization failed");
    FILEHANDLE_DeleteProgressInfo(id);
    return FILEHANDLE_E_START_FAILED;
}

}  // namespace

extern "C" uint32_t FILEHANDLE_UploadDownloadFileImage(ComponentInfo* pstComponentInfo,
                                                       uint32_t* puiIdentifier) {
    BMC_Db* db = DB_GetCurrentDb();
    if (pstComponentInfo == nullptr || puiIdentifier == nullptr) {
        FH_LOG(BMC_LOG_ERROR,
               "FILEHANDLE_UploadDownloadFileImage: pstComponentInfo or puiIdentifier is NULL.");
        return FILEHANDLE_E_ENTRY_NULL_ARGUMENT;
    }
    if (db == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_UploadDownloadFileImage: pDb is NULL.");
        return FILEHANDLE_E_ENTRY_NO_DB;
    }
    // Work on a copy whose texts are surely terminated; the caller's record only
    // receives the identifier.
    ComponentInfo req = *pstComponentInfo;
    TerminateTexts(&req);

    bool validType = true;
    const char* eventName = RequestEventName(req, &validType);
    if (!validType) {
        // The task still starts; its worker reports the invalid type in its record.
        FILEHANDLE_AddSdl_TaskExecutionFailed(
            eventName, "File download or upload failed,because:connection parameter parsing error");
    }
    *puiIdentifier = 0;

    if (!EnsureTaskTable(db)) {
        FILEHANDLE_AddSdl_TaskExecutionFailed(eventName, "Database write failed");
        return FILEHANDLE_E_DB_WRITE;
    }
    uint32_t id = 0;
    if (FILEHANLE_ClearTasksAndConfigID(&id) != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, "Progress file creation failed.");
        FILEHANDLE_AddSdl_TaskExecutionFailed(eventName,
                                              "File upload and download initialization failed");
        return FILEHANDLE_E_NO_TASK;
    }
    req.uiIdentifier = id;
    pstComponentInfo->uiIdentifier = id;
    *puiIdentifier = id;

    const Protocol* protocol = FindProtocol(req.ucProtocolType);
    const WorkerMember* member = protocol != nullptr ? protocol->transfer.member : nullptr;
    if (member == nullptr) {
        FILEHANDLE_AddSdl_TaskExecutionFailed(eventName, "File transfer protocol not supported");
        FH_LOG(BMC_LOG_ERROR, "not supported this protocol type %d", req.ucProtocolType);
        FILEHANDLE_DeleteProgressInfo(id);
        return FILEHANDLE_E_BAD_PROTOCOL;
    }
    FH_LOG(BMC_LOG_INFO, "%s", protocol->transfer.log);
    if (!PathsFit(*protocol, req) ||
        StartWorker(*member, &req, member->starter.name) != FILEHANDLE_OK) {
        return FailedStart(eventName, id);
    }
    return FILEHANDLE_OK;
}
