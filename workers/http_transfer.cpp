// HTTP and HTTPS: download with GET, upload as a multipart POST.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "common/file_copy.h"
#include "common/redact.h"
#include "workers/curl_routine.h"

namespace fh {
namespace {

constexpr size_t kPathBuffer = 256;  // staging and source paths, cut at 255 characters

// Copies the source into a new staging file of the owner's only; errno is EEXIST when the
// staging name is taken. A partial copy is removed.
bool StageCopy(const std::string& source, const std::string& staging) {
    UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat sb {};
    if (!in.Valid() || fstat(in.Get(), &sb) != 0) {
        return false;
    }
    UniqueFd out(open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.Valid()) {
        return false;
    }
    if (!CopyAll(in.Get(), out.Get(), sb.st_size) || out.Close() != 0) {
        // The copy already failed; a staging file that cannot be removed is logged there.
        if (unlink(staging.c_str()) != 0) {
            FH_LOG(BMC_LOG_ERROR, "Staging file %s not removed.", staging.c_str());
        }
        errno = EIO;
        return false;
    }
    return true;
}

// Moves the source to the staging name unless that name is taken (errno EEXIST). Where the
// file system has no RENAME_NOREPLACE, a hard link claims the name just as atomically.
bool MoveWithoutReplacing(const std::string& source, const std::string& staging) {
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, staging.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL || link(source.c_str(), staging.c_str()) != 0) {
        return false;
    }
    if (unlink(source.c_str()) != 0) {
        int saved = errno;
        // The source stays where it was; the second name is only a link to it.
        if (unlink(staging.c_str()) != 0) {
            FH_LOG(BMC_LOG_ERROR, "Staging link %s not removed.", staging.c_str());
        }
        errno = saved;
        return false;
    }
    return true;
}

// Stages the source for the form: the form sends the file under the base name of the
// staged path, which is the remote name, in the source's own directory.
//
// Choices that keep the user's files safe:
// - If the staging path already exists and is not the source, the upload is refused:
//   staging would overwrite an unrelated file and then remove it. A source that is not a
//   regular file is refused as unopenable.
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
        return FILEHANDLE_E_PARAMETER;
    }
    const char* srcSlash = strrchr(q.szReadAddress, '/');
    if (srcSlash == nullptr) {
        BMC_Scnprintf(run.desc, kDescSize,
                      "File download or upload failed, because: %s parsing failed",
                      q.szReadAddress);
        FH_LOG(BMC_LOG_ERROR, "strrchr failed.");
        return FILEHANDLE_E_PARAMETER;
    }
    std::string dir(q.szReadAddress, static_cast<size_t>(srcSlash + 1 - q.szReadAddress));
    std::string source = dir + (srcSlash + 1);
    std::string staging = dir + (urlSlash + 1);
    if (source.size() >= kPathBuffer || staging.size() >= kPathBuffer) {
        FH_LOG(BMC_LOG_ERROR, "Upload path too long: %s.", q.szReadAddress);
        BMC_Strlcpy(run.desc, "File download or upload failed, because: local file path too long",
                    kDescSize);
        return FILEHANDLE_E_TRANSFER_FAILED;
    }
    StagedUpload& st = run.staged;
    st.source = source;
    st.staging = staging;
    bool keep = q.ucKeepSourceFlag == 1;
    struct stat sb {};
    if (staging == source) {
        st.mode = StagedUpload::Mode::kSamePath;
        st.consumeOnSuccess = !keep;
    } else if (stat(source.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) {
        FH_LOG(BMC_LOG_ERROR, "Fail to open file %s.", source.c_str());
        BMC_Scnprintf(run.desc, kDescSize,
                      "File download or upload failed, because: %s open failed", source.c_str());
        return FILEHANDLE_E_LOCAL_FILE;
    } else {
        // The staging name is claimed atomically (a new file, or a rename that replaces
        // nothing): a file that stands there, or one planted between a check and the copy,
        // is never overwritten, followed or removed.
        bool staged = keep ? StageCopy(source, staging) : MoveWithoutReplacing(source, staging);
        if (!staged) {
            bool taken = errno == EEXIST;
            FH_LOG(BMC_LOG_ERROR, taken ? "Staging file %s already exists." : "Staging %s failed.",
                   staging.c_str());
            BMC_Scnprintf(run.desc, kDescSize,
                          taken ? "File download or upload failed, because: %s already exists"
                                : "File download or upload failed, because: %s staging failed",
                          staging.c_str());
            return FILEHANDLE_E_LOCAL_FILE;
        }
        st.mode = keep ? StagedUpload::Mode::kCopy : StagedUpload::Mode::kMove;
        st.consumeOnSuccess = !keep;
    }
    FH_LOG(BMC_LOG_INFO, "%s: %s, %s.", run.routine.name, source.c_str(),
           UrlForLog(q.szIpAdress).c_str());
    return FILEHANDLE_OK;
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
};

const char* const kHttpProtocols = "http,https";

const CurlRoutine kHttpDownload = {
    "HTTP_DownLoadFileByCurl",
    kHttpProtocols,
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
    kHttpProtocols,
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
