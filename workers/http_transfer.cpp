// HTTP and HTTPS: download with GET, upload as a multipart POST.
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "common/redact.h"
#include "workers/curl_routine.h"

namespace fh {
namespace {

constexpr size_t kPathBuffer = 256;  // staging and source paths, cut at 255 characters

// Stages the source for the form: the form sends the file under the base name of the
// staged path, which is the remote name, in the source's own directory.
//
// Choices that keep the user's files safe:
// - If the staging path already exists and is not the source, the upload is refused:
//   staging would overwrite an unrelated file and then remove it.
// - If the remote name equals the source's own name, the source is posted in place and
//   never copied onto itself; with ucKeepSourceFlag 1 it is left as it was.
// - A moved source (ucKeepSourceFlag not 1) is moved without a shell, and an upload that
//   fails puts it back; only a successful upload consumes it.
// - Paths that would be cut at 255 characters are refused instead of staged elsewhere.
uint32_t StageHttpUpload(RoutineRun& run) {
    ComponentInfo& q = *run.req;
    const char* urlSlash = strrchr(q.szIpAdress, '/');
    if (urlSlash == nullptr || urlSlash[1] == '\0') {
        FH_LOG(BMC_LOG_ERROR, "strrchr failed.");
        BMC_Scnprintf(run.desc, kDescSize,
                      "File download or upload failed, because: %s parsing failed", q.szIpAdress);
        return kParameterError;
    }
    const char* srcSlash = strrchr(q.szReadAddress, '/');
    if (srcSlash == nullptr) {
        BMC_Scnprintf(run.desc, kDescSize,
                      "File download or upload failed, because: %s parsing failed",
                      q.szReadAddress);
        FH_LOG(BMC_LOG_ERROR, "strrchr failed.");
        return kParameterError;
    }
    std::string dir(q.szReadAddress, static_cast<size_t>(srcSlash + 1 - q.szReadAddress));
    std::string source = dir + (srcSlash + 1);
    std::string staging = dir + (urlSlash + 1);
    if (source.size() >= kPathBuffer || staging.size() >= kPathBuffer) {
        FH_LOG(BMC_LOG_ERROR, "Upload path too long: %s.", q.szReadAddress);
        BMC_Strlcpy(run.desc, "File download or upload failed, because: local file path too long",
                    kDescSize);
        return kTransferFailed;
    }
    StagedUpload& st = run.staged;
    st.source = source;
    st.staging = staging;
    bool keep = q.ucKeepSourceFlag == 1;
    struct stat sb {};
    if (staging == source) {
        st.mode = StagedUpload::Mode::kSamePath;
        st.consumeOnSuccess = !keep;
    } else if (lstat(staging.c_str(), &sb) == 0) {
        FH_LOG(BMC_LOG_ERROR, "Staging file %s already exists.", staging.c_str());
        BMC_Scnprintf(run.desc, kDescSize,
                      "File download or upload failed, because: %s already exists",
                      staging.c_str());
        return kLocalFileError;
    } else if (stat(source.c_str(), &sb) == 0 && S_ISREG(sb.st_mode)) {
        // A source that is no regular file is not staged; the post then fails to read it.
        if (keep) {
            BMC_CopyFile(source.c_str(), staging.c_str());
            st.mode = StagedUpload::Mode::kCopy;
        } else if (BMC_MoveFile(source.c_str(), staging.c_str()) == 0) {
            st.mode = StagedUpload::Mode::kMove;
            st.consumeOnSuccess = true;
        }
    }
    FH_LOG(BMC_LOG_INFO, "%s: %s, %s.", run.routine.name, source.c_str(),
           UrlForLog(q.szIpAdress).c_str());
    return kOk;
}

const CurlOpt kDownloadOptions[] = {
    CurlOpt::kUrl,           CurlOpt::kWriteToLocal,
    CurlOpt::kWriteFunction, CurlOpt::kNoProgress,
    CurlOpt::kProgressData,  CurlOpt::kProgressFunction,
    CurlOpt::kTimeout120,    CurlOpt::kConnectTimeout10,
    CurlOpt::kPort,          CurlOpt::kHttpCredentials,
    CurlOpt::kHttpTls,       CurlOpt::kReceiveBuffer,
};

const CurlOpt kUploadOptions[] = {
    CurlOpt::kPost,
    CurlOpt::kUrl,
    CurlOpt::kWriteToLocal,
    CurlOpt::kWriteFunction,
    CurlOpt::kNoProgress,
    CurlOpt::kProgressData,
    CurlOpt::kProgressFunction,
    CurlOpt::kTimeout120,
    CurlOpt::kConnectTimeout10,
    CurlOpt::kHttpPost,
    CurlOpt::kPort,
    CurlOpt::kHttpCredentials,
    CurlOpt::kHttpTls,
    CurlOpt::kReceiveBuffer,
};

const CurlRoutine kHttpDownload = {
    "HTTP_DownLoadFileByCurl",
    "Pointer pstDownloadFileInfo is Null, File:%s Func:%s Line:%d",
    nullptr,
    LocalStream::kDestination,
    kDownloadOptions,
    sizeof kDownloadOptions / sizeof kDownloadOptions[0],
    true,
    "File download or upload failed, because: curl_easy_init failed",
    "%s: curl_easy_init failed!",
    "File download or upload failed, because: Failed to open download file",
    "Fail to open file, filepath:%s.",
    nullptr,
    nullptr,
    PerformLog::kNameTextLongStatus,
    "%s: curl_easy_perform failed: %s\xA3\xAC"
    "lHttpCode :%ld\n",
    "File download or upload failed,because:%s",
};

const CurlRoutine kHttpUpload = {
    "HTTP_UploadFileByCurl",
    "Pointer pstUploadFileInfo is Null, File:%s Func:%s Line:%d",
    StageHttpUpload,
    LocalStream::kReplyLog,
    kUploadOptions,
    sizeof kUploadOptions / sizeof kUploadOptions[0],
    true,
    "File download or upload failed,because:curl_easy_init failed",
    "%s: curl_easy_init failed!",
    nullptr,
    "Fail to open file.",
    nullptr,
    nullptr,
    PerformLog::kNameTextIntStatus,
    "%s: curl_easy_perform failed: %s, iHttpCode: %d.",
    "File download or upload failed, because: %s",
};

}  // namespace
}  // namespace fh

extern "C" uint32_t HTTP_DownLoadFileByCurl(ComponentInfo* pstDownloadFileInfo, char* pcTaskDesc) {
    return fh::RunCurlTransfer(fh::kHttpDownload, pstDownloadFileInfo, pcTaskDesc);
}

extern "C" uint32_t HTTP_UploadFileByCurl(ComponentInfo* pstUploadFileInfo, char* pcTaskDesc) {
    return fh::RunCurlTransfer(fh::kHttpUpload, pstUploadFileInfo, pcTaskDesc);
}
