// The Redfish entry (parse, then a local copy or move, or a task) and the synchronous
// transfer that starts a task and waits for its end.
#include <string.h>
#include <unistd.h>

#include "common/fh_internal.h"
#include "common/task_poll.h"

using namespace fh;

namespace {

constexpr uint32_t kDefaultStallLimit = 5;

// A local copy or move between the two paths of the request; 0 on success. A move falls
// back to copy and remove across file systems; a failure leaves the source in place.
int LocalTransfer(const RedfishInfo& in, const char* local, const char* other) {
    const char* from = in.ucHandleType == FILEHANDLE_UPLOAD ? local : other;
    const char* to = in.ucHandleType == FILEHANDLE_UPLOAD ? other : local;
    return in.ucFileMode == 1 ? BMC_MoveFile(from, to) : BMC_CopyFile(from, to);
}

}  // namespace

extern "C" uint32_t FILEHANDLE_UploadDownloadFileImageForRedfish(RedfishInfo* pstRedfishInfo,
                                                                 uint32_t* puiIdentifier) {
    if (pstRedfishInfo == nullptr || puiIdentifier == nullptr) {
        FH_LOG(BMC_LOG_ERROR,
               "FILEHANDLE_UploadDownloadFileImageForRedfish: pstRedfishInfo or puiIdentifier is "
               "NULL.");
        return FILEHANDLE_E_ENTRY_NULL_ARGUMENT;
    }
    const RedfishInfo& in = *pstRedfishInfo;
    char local[sizeof in.szLocalPath + 1] = {0};
    char other[sizeof in.szRedfishCmd + 1] = {0};
    memcpy(local, in.szLocalPath, sizeof in.szLocalPath);
    memcpy(other, in.szRedfishCmd, sizeof in.szRedfishCmd);
    const char* eventName = EventFileName(local);
    if (eventName == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_UploadDownloadFileImageForRedfish: file path error: %s.",
               local);
        return FILEHANDLE_E_LOCAL_PATH;
    }
    ComponentInfo req{};
    if (FILEHANDLE_ParseRedfishStruct(pstRedfishInfo, &req) != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_TransferRedfishStruct failed");
        *puiIdentifier = 0;
        FILEHANDLE_AddSdl_TaskExecutionFailed(eventName, "File transfer protocol not supported");
        return FILEHANDLE_E_NO_TASK;
    }
    if (req.ucProtocolType != FILEHANDLE_PROTOCOL_LOCAL) {
        return FILEHANDLE_UploadDownloadFileImage(&req, puiIdentifier);
    }
    uint32_t result = FILEHANDLE_OK;
    if (LocalTransfer(in, local, other) != 0) {
        FH_LOG(BMC_LOG_ERROR, "Local file transfer is failed");
        FILEHANDLE_AddSdl_TaskExecutionFailed(eventName,
                                              "File upload and download initialization failed");
        result = FILEHANDLE_E_START_FAILED;
    } else {
        FH_LOG(BMC_LOG_INFO, "Local file transfer is successful");
    }
    *puiIdentifier = 0;
    return result;
}

extern "C" uint32_t FILEHANDLE_UploadDownloadFile(RedfishInfo* pstRedfishInfo,
                                                  uint32_t uiStallLimit) {
    if (pstRedfishInfo == nullptr) {
        FH_LOG_NULL("pstRedfishInfo");
        return FILEHANDLE_NULL_REQUEST;
    }
    uint32_t limit = uiStallLimit >= 3 && uiStallLimit <= 10 ? uiStallLimit : kDefaultStallLimit;
    uint32_t id = 0;
    uint32_t ret = FILEHANDLE_UploadDownloadFileImageForRedfish(pstRedfishInfo, &id);
    if (ret != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, "Failed to Download file, iRet=%d.\n", static_cast<int>(ret));
        return FILEHANDLE_FAILED;
    }
    if (id == 0) {
        return FILEHANDLE_OK;  // a local copy or move, already done
    }
    ComponentProcess rec{};
    uint32_t readResult = FILEHANDLE_OK;
    bool succeeded = FollowTask(id, std::chrono::seconds(1), limit, &rec, &readResult,
                                [](const ComponentProcess&, bool) {}) == TaskEnd::kSucceeded;
    uint32_t del = FILEHANDLE_DeleteProgressInfo(id);
    if (del != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_DeleteProgressInfo is failed iRet=%d",
               static_cast<int>(del));
    }
    return succeeded ? FILEHANDLE_OK : FILEHANDLE_FAILED;
}
