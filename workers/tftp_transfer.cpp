// TFTP: the local file is opened here and the transfer handed to the platform's TFTP
// bridge; TftpThread maps the routine's result to the task's final record.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "common/raii.h"
#include "workers/worker_frame.h"

using namespace fh;

namespace {

constexpr uint32_t kTftpDefaultPort = 69;
constexpr uint32_t kDownloadBlockSize = 1024;
constexpr uint32_t kUploadBlockSize = 512;

struct TftpMapping {
    uint32_t routineResult;
    uint32_t resultCode;
    const char* description;
};

// The last row serves every other result.
const TftpMapping kTftpMappings[] = {
    {FILEHANDLE_IN_LOCAL_FILE, FILEHANDLE_E_LOCAL_FILE,
     "File download or upload failed, because: cannot open local file"},
    {FILEHANDLE_IN_ENGINE_FAILED, FILEHANDLE_E_REMOTE_MISSING,
     "File download or upload failed, because: The Remote file does not exist or the ip is "
     "wrong"},
    {0, FILEHANDLE_E_TRANSFER_FAILED,
     "File download or upload failed, because: tftp connection parameter parsing error"},
};

const TftpMapping& MapTftpResult(uint32_t r) {
    for (const TftpMapping& m : kTftpMappings) {
        if (m.routineResult == r) {
            return m;
        }
    }
    return kTftpMappings[sizeof kTftpMappings / sizeof kTftpMappings[0] - 1];
}

}  // namespace

extern "C" uint32_t TFTP_FileUploadDownload(const char* pcHostsys, uint32_t uiPort,
                                            const char* pcStorageAddress, const char* pcReadAddress,
                                            const char* pcProgressFile, uint8_t ucHandleType) {
    const char* func = "TFTP_FileUploadDownload";
    if (pcHostsys == nullptr) {
        FH_LOG_NULL_AS("pcHostsys", func);
        return FILEHANDLE_IN_NULL_POINTER;
    }
    if (pcStorageAddress == nullptr) {
        FH_LOG_NULL_AS("pcStorageAddress", func);
        return FILEHANDLE_IN_NULL_POINTER;
    }
    if (pcReadAddress == nullptr) {
        FH_LOG_NULL_AS("pcReadAddress", func);
        return FILEHANDLE_IN_NULL_POINTER;
    }
    if (pcProgressFile == nullptr) {
        FH_LOG_NULL_AS("pcProgressFile", func);
        return FILEHANDLE_IN_NULL_POINTER;
    }
    int32_t size = 0;
    const char* local;
    const char* remote;
    int flags;
    uint32_t blockSize;
    if (ucHandleType == FILEHANDLE_DOWNLOAD) {
        if (BRIDGE_GetTftpRemoteFileSize(pcHostsys, uiPort, pcReadAddress, &size) != 0) {
            FH_LOG(BMC_LOG_INFO, "Get tftp remotefile size failed.");
            size = 0;
        }
        local = pcStorageAddress;
        remote = pcReadAddress;
        flags = O_WRONLY | O_CREAT |
                O_NOFOLLOW;  // not emptied here: the bridge cuts it to what it received
        blockSize = kDownloadBlockSize;
    } else if (ucHandleType == FILEHANDLE_UPLOAD) {
        int64_t localSize = BMC_GetFileSize(pcReadAddress);
        if (localSize < 0) {
            FH_LOG(BMC_LOG_INFO, "Get upload file size failed.");
            localSize = 0;
        }
        // The announced size is a signed 32-bit count; larger files announce none.
        size = localSize > INT32_MAX ? 0 : static_cast<int32_t>(localSize);
        local = pcReadAddress;
        remote = pcStorageAddress;
        flags = O_RDONLY;
        blockSize = kUploadBlockSize;
    } else {
        FH_LOG(BMC_LOG_ERROR, "TFTP FILE ucHandleType: %d.", ucHandleType);
        return FILEHANDLE_IN_BAD_ARGUMENT;
    }
    UniqueFd fd(open(local, flags | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
        FH_LOG(BMC_LOG_ERROR, "cannot open local file %s.", local);
        return FILEHANDLE_IN_LOCAL_FILE;
    }
    uint32_t port = uiPort == 0 ? kTftpDefaultPort : uiPort;
    int ret = BRIDGE_TFTP(ucHandleType, pcHostsys, remote, fd.Get(), port, blockSize,
                          pcProgressFile, size);
    uint32_t result = FILEHANDLE_OK;
    if (ret != 0) {
        FH_LOG(BMC_LOG_ERROR, "tftp protocol transmission failed, iRet: %d.", ret);
        result = FILEHANDLE_IN_ENGINE_FAILED;
    }
    if (fd.Close() != 0) {
        FH_LOG_CLOSE_FAILED("TFTP_FileUploadDownload");
    }
    FH_LOG(BMC_LOG_INFO, "The tftp function is executed.");
    return result;
}

namespace fh {

void RunTftpMember(const WorkerMember& m, ComponentInfo* req, const char* progressFile, char* desc,
                   const char* baseName, ComponentProcess* rec) {
    bool validType = ValidHandleType(req->ucHandleType);
    uint32_t r = TFTP_FileUploadDownload(req->szIpAdress, req->uiPort, req->szStorageAddress,
                                         req->szReadAddress, progressFile, req->ucHandleType);
    if (r == FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_INFO, "UPLOAD_StartTftpDownload is success.");
    } else {
        // A failed download removes what it wrote. Only a failure of the bridge comes
        // after the destination was opened; after any other failure whatever stands at
        // that path is not this download's and stays. Removed without a shell, so no
        // text of the request can act as shell syntax.
        if (req->ucHandleType == FILEHANDLE_DOWNLOAD && r == FILEHANDLE_IN_ENGINE_FAILED) {
            if (unlink(req->szStorageAddress) != 0 && errno != ENOENT) {
                FH_LOG(BMC_LOG_ERROR, "Could not remove %s: %s.", req->szStorageAddress,
                       strerror(errno));
            }
        }
        const TftpMapping& map = MapTftpResult(r);
        BMC_Strlcpy(desc, map.description, kDescSize);  // desc is zeroed behind the text
        r = map.resultCode;
        FH_LOG(BMC_LOG_ERROR, "UPLOAD_StartTftpDownload is failed.");
    }
    SetOutcome(rec, r, desc, validType ? baseName : nullptr);
    if (!validType) {
        // The record already tells the failure; one event names no file.
        ReportInvalidType(m, req->ucHandleType, desc);
    }
}

}  // namespace fh
