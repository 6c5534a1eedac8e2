// SFTP, SCP and FTP: the same two sequences as every libcurl routine, with a local
// stream on each end; they differ in their options and in the wording of their messages.
#include "common/scp_path.h"
#include "workers/curl_routine.h"

namespace fh {
namespace {

// The options every routine of the family sets last, in this order.
#define FH_COMMON_TAIL                                                                           \
    CurlOpt::kVerbose, CurlOpt::kNoProgress, CurlOpt::kProgressData, CurlOpt::kProgressFunction, \
        CurlOpt::kTimeout120, CurlOpt::kConnectTimeout30, CurlOpt::kPort

const CurlOpt kSftpDownloadOptions[] = {
    CurlOpt::kUrl,           CurlOpt::kJoinedUserPwd,   CurlOpt::kWriteToLocal,
    CurlOpt::kWriteFunction, CurlOpt::kSshAuthPassword, FH_COMMON_TAIL,
    CurlOpt::kSftpBuffers};
const CurlOpt kSftpUploadOptions[] = {CurlOpt::kUrl,          CurlOpt::kJoinedUserPwd,
                                      CurlOpt::kReadFunction, CurlOpt::kReadFromLocal,
                                      CurlOpt::kNoCreateDirs, CurlOpt::kUpload,
                                      CurlOpt::kInFileSize,   CurlOpt::kSshAuthPassword,
                                      FH_COMMON_TAIL,         CurlOpt::kSftpBuffers};
const CurlOpt kScpDownloadOptions[] = {
    CurlOpt::kUrl,          CurlOpt::kSshAuthPassword, CurlOpt::kUserName, CurlOpt::kPassword,
    CurlOpt::kWriteToLocal, CurlOpt::kWriteFunction,   FH_COMMON_TAIL,     CurlOpt::kScpBuffers};
const CurlOpt kScpUploadOptions[] = {
    CurlOpt::kUrl,          CurlOpt::kSshAuthPassword, CurlOpt::kUserName, CurlOpt::kPassword,
    CurlOpt::kReadFunction, CurlOpt::kReadFromLocal,   CurlOpt::kUpload,   CurlOpt::kInFileSize,
    FH_COMMON_TAIL,         CurlOpt::kScpBuffers};
const CurlOpt kFtpDownloadOptions[] = {
    CurlOpt::kUrl,           CurlOpt::kUserName, CurlOpt::kPassword,     CurlOpt::kWriteToLocal,
    CurlOpt::kWriteFunction, FH_COMMON_TAIL,     CurlOpt::kReceiveBuffer};
const CurlOpt kFtpUploadOptions[] = {
    CurlOpt::kUrl,           CurlOpt::kUserName, CurlOpt::kPassword,   CurlOpt::kReadFunction,
    CurlOpt::kReadFromLocal, CurlOpt::kUpload,   CurlOpt::kInFileSize, FH_COMMON_TAIL};

const char* const kNullDownload = "Pointer pstDownloadFileInfo is Null, File:%s Func:%s Line:%d";
const char* const kNullUpload = "Pointer pstUploadFileInfo is Null, File:%s Func:%s Line:%d";

// Download and upload of one protocol with the SCP wording (FTP uses it word for word).
// SCP paths reach the server's scp command and protocol: refuse the ones that would be
// misread there (see ScpPathIsSafe), for requests that did not come through the parser.
uint32_t CheckScpPath(RoutineRun& run) {
    if (ScpPathIsSafe(run.req->szIpAdress)) {
        return FILEHANDLE_OK;
    }
    FH_LOG(BMC_LOG_ERROR, "SCP path refused: control character or leading '-'.");
    BMC_Strlcpy(run.desc, "File download or upload failed,because:scp path is not allowed",
                kDescSize);
    return FILEHANDLE_E_PARAMETER;
}

uint32_t PrepareScpUpload(RoutineRun& run) {
    uint32_t rc = CheckScpPath(run);
    return rc != FILEHANDLE_OK ? rc : OpenUploadSource(run);
}

template <size_t N>
constexpr CurlRoutine ScpWordedDownload(const char* name, const char* protocols,
                                        const CurlOpt (&options)[N],
                                        uint32_t (*prepare)(RoutineRun&)) {
    return {name,
            protocols,
            kNullDownload,
            prepare,
            LocalStream::kDestination,
            options,
            N,
            false,
            "File download or upload failed,because:curl_easy_init failed",
            "curl_easy_init failed!",
            "File download or upload failed,because:Failed to open download file",
            "fopen failed!,filepath:%s",
            nullptr,
            nullptr,
            PerformLog::kResultText,
            "curl_easy_perform failed:stEnRes=%d %s",
            "File download or upload failed,because:%s"};
}

template <size_t N>
constexpr CurlRoutine ScpWordedUpload(const char* name, const char* protocols,
                                      const CurlOpt (&options)[N],
                                      uint32_t (*prepare)(RoutineRun&)) {
    return {name,
            protocols,
            kNullUpload,
            prepare,
            LocalStream::kSource,
            options,
            N,
            false,
            "File download or upload failed,because:curl_easy_init failed",
            "curl_easy_init failed!",
            "File download or upload failed,because:%s open failed",
            "fopen failed! szReadAddress:%s",
            "File download or upload failed,because:%s ftell failed",
            "ftell file failed",
            PerformLog::kResultText,
            "curl_easy_perform failed:stEnRes=%d, %s",
            "File download or upload failed,because:%s"};
}

const CurlRoutine kSftpDownload = {
    "SFTP_DownLoadFileByCurl",
    "sftp",
    kNullDownload,
    nullptr,
    LocalStream::kDestination,
    kSftpDownloadOptions,
    sizeof kSftpDownloadOptions / sizeof kSftpDownloadOptions[0],
    false,
    "File download or upload failed,because:curl_easy_init failed",
    "curl_easy_init failed!",
    "File download or upload failed,because:Failed to open download file.",
    "fopen failed, filepath: %s.",
    nullptr,
    nullptr,
    PerformLog::kResultText,
    "curl_easy_perform failed, stEnRes: %d, %s.",
    "File download or upload failed, because: %s",
};

const CurlRoutine kSftpUpload = {
    "SFTP_UploadFileByCurl",
    "sftp",
    kNullUpload,
    OpenUploadSource,
    LocalStream::kSource,
    kSftpUploadOptions,
    sizeof kSftpUploadOptions / sizeof kSftpUploadOptions[0],
    false,
    "File download or upload failed, because: curl_easy_init failed",
    "curl_easy_init failed!",
    "File download or upload failed, because: %s open failed",
    "fopen failed, szReadAddress: %s.",
    "File download or upload failed, because: %s ftell failed",
    "ftell file failed.",
    PerformLog::kResultText,
    "curl_easy_perform failed, stEnRes: %d, %s",
    "File download or upload failed,because:%s",
};

const CurlRoutine kScpDownload =
    ScpWordedDownload("SCP_DownLoadFileByCurl", "scp", kScpDownloadOptions, CheckScpPath);
const CurlRoutine kScpUpload =
    ScpWordedUpload("SCP_UploadFileByCurl", "scp", kScpUploadOptions, PrepareScpUpload);
const CurlRoutine kFtpDownload =
    ScpWordedDownload("FTP_DownLoadFileByCurl", "ftp,ftps", kFtpDownloadOptions, nullptr);
const CurlRoutine kFtpUpload =
    ScpWordedUpload("FTP_UploadFileByCurl", "ftp,ftps", kFtpUploadOptions, OpenUploadSource);

}  // namespace
}  // namespace fh

extern "C" uint32_t SFTP_DownLoadFileByCurl(ComponentInfo* pstDownloadFileInfo, char* pcTaskDesc) {
    return fh::RunCurlTransfer(fh::kSftpDownload, pstDownloadFileInfo, pcTaskDesc);
}
extern "C" uint32_t SFTP_UploadFileByCurl(ComponentInfo* pstUploadFileInfo, char* pcTaskDesc) {
    return fh::RunCurlTransfer(fh::kSftpUpload, pstUploadFileInfo, pcTaskDesc);
}
extern "C" uint32_t SCP_DownLoadFileByCurl(ComponentInfo* pstDownloadFileInfo, char* pcTaskDesc) {
    return fh::RunCurlTransfer(fh::kScpDownload, pstDownloadFileInfo, pcTaskDesc);
}
extern "C" uint32_t SCP_UploadFileByCurl(ComponentInfo* pstUploadFileInfo, char* pcTaskDesc) {
    return fh::RunCurlTransfer(fh::kScpUpload, pstUploadFileInfo, pcTaskDesc);
}
extern "C" uint32_t FTP_DownLoadFileByCurl(ComponentInfo* pstDownloadFileInfo, char* pcTaskDesc) {
    return fh::RunCurlTransfer(fh::kFtpDownload, pstDownloadFileInfo, pcTaskDesc);
}
extern "C" uint32_t FTP_UploadFileByCurl(ComponentInfo* pstUploadFileInfo, char* pcTaskDesc) {
    return fh::RunCurlTransfer(fh::kFtpUpload, pstUploadFileInfo, pcTaskDesc);
}
