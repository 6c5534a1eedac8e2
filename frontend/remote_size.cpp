// The size of the file behind a transfer URI, asked of each protocol's own probe.
#include <string.h>

#include "common/fh_internal.h"
#include "workers/curl_routine.h"

using namespace fh;

namespace {

constexpr size_t kTftpPathMax = 240;

const CurlOpt kHttpProbeOptions[] = {CurlOpt::kUrl,  CurlOpt::kCustomGet,       CurlOpt::kNoBody,
                                     CurlOpt::kPort, CurlOpt::kHttpCredentials, CurlOpt::kHttpTls};
const CurlOpt kSftpProbeOptions[] = {CurlOpt::kUrl, CurlOpt::kPort, CurlOpt::kHeader,
                                     CurlOpt::kNoBody, CurlOpt::kJoinedUserPwd};
// No NOBODY here: the whole file is fetched and dropped, and its length read afterwards.
const CurlOpt kFtpProbeOptions[] = {CurlOpt::kUrl,      CurlOpt::kPort,         CurlOpt::kUserName,
                                    CurlOpt::kPassword, CurlOpt::kFtpSingleCwd, CurlOpt::kDropData};

template <size_t N>
constexpr CurlProbe Probe(const char* name, const char* protocols, const CurlOpt (&options)[N],
                          const char* failLog) {
    return {name, protocols, options, N, failLog};
}

const CurlProbe kHttpProbe = Probe("HTTP_GetRemoteFileSize", "http,https", kHttpProbeOptions,
                                   "curl_easy_perform failed: %s");
const CurlProbe kSftpProbe = Probe("SFTP_GetRemoteFileSize", "sftp,scp", kSftpProbeOptions,
                                   "curl_easy_perform failed: %s\n");
const CurlProbe kFtpProbe =
    Probe("FTP_GetRemoteFileSize", "ftp,ftps", kFtpProbeOptions, "curl_easy_perform failed: %s\n");

}  // namespace

extern "C" uint32_t HTTP_GetRemoteFileSize(ComponentInfo* pstDownloadFileInfo,
                                           int32_t* piFileSize) {
    return RunCurlProbe(kHttpProbe, pstDownloadFileInfo, piFileSize);
}

extern "C" uint32_t SFTP_GetRemoteFileSize(ComponentInfo* pstDownloadFileInfo,
                                           int32_t* piFileSize) {
    return RunCurlProbe(kSftpProbe, pstDownloadFileInfo, piFileSize);
}

extern "C" uint32_t FTP_GetRemoteFileSize(ComponentInfo* pstDownloadFileInfo, int32_t* piFileSize) {
    return RunCurlProbe(kFtpProbe, pstDownloadFileInfo, piFileSize);
}

extern "C" uint32_t FILEHANDLE_GetRemoteFileSize(const RedfishInfo* pstRedfishInfo,
                                                 uint32_t* puiFileSize) {
    if (pstRedfishInfo == nullptr) {
        FH_LOG_NULL("pstRedfishInfo");
        return FILEHANDLE_NULL_REQUEST;
    }
    if (puiFileSize == nullptr) {
        FH_LOG_NULL("puiFileSize");
        return FILEHANDLE_NULL_REQUEST;
    }
    ComponentInfo req{};
    int32_t size = 0;
    if (FILEHANDLE_ParseRedfishStruct(pstRedfishInfo, &req) != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, "FILEHANDLE_TransferRedfishStruct failed");
        return FILEHANDLE_E_NO_TASK;
    }
    uint32_t r = FILEHANDLE_OK;
    switch (req.ucProtocolType) {
        case FILEHANDLE_PROTOCOL_HTTP:
            FH_LOG(BMC_LOG_INFO, "HTTP Protocol file handle");
            r = HTTP_GetRemoteFileSize(&req, &size);
            break;
        case FILEHANDLE_PROTOCOL_TFTP:
            FH_LOG(BMC_LOG_INFO, "TFTP Protocol file handle");
            if (strlen(req.szReadAddress) > kTftpPathMax ||
                strlen(req.szStorageAddress) > kTftpPathMax) {
                FH_LOG(BMC_LOG_ERROR,
                       "The tftp protocol file path exceeds the maximum supported length");
                r = FILEHANDLE_E_START_FAILED;
            } else {
                r = static_cast<uint32_t>(BRIDGE_GetTftpRemoteFileSize(req.szIpAdress, req.uiPort,
                                                                       req.szReadAddress, &size));
            }
            break;
        case FILEHANDLE_PROTOCOL_SFTP:
        case FILEHANDLE_PROTOCOL_SCP:
            FH_LOG(BMC_LOG_INFO, "SFTP or SCP Protocol file handle");
            r = SFTP_GetRemoteFileSize(&req, &size);
            break;
        case FILEHANDLE_PROTOCOL_NFS:
        case FILEHANDLE_PROTOCOL_CIFS:
            FH_LOG(BMC_LOG_INFO, "NFS or CIFS Protocol file handle");
            r = Mount_GetRemoteFileSize(&req, &size);
            break;
        case FILEHANDLE_PROTOCOL_LOCAL: {
            FH_LOG(BMC_LOG_INFO, "Local file handle");
            // Local sizes are 32-bit as well: a file of 2^31 bytes or more is no size.
            int64_t local = BMC_GetFileSize(req.szReadAddress);
            if (local < 0 || local > INT32_MAX) {
                size = 0;
                r = FILEHANDLE_E_START_FAILED;
            } else {
                size = static_cast<int32_t>(local);
            }
            break;
        }
        case FILEHANDLE_PROTOCOL_FTP:
            FH_LOG(BMC_LOG_INFO, "FTP Protocol file handle");
            r = FTP_GetRemoteFileSize(&req, &size);
            break;
        default:
            FH_LOG(BMC_LOG_ERROR, "not supported this protocol type %d", req.ucProtocolType);
            r = FILEHANDLE_E_BAD_PROTOCOL;
            break;
    }
    if (r != FILEHANDLE_OK && r != FILEHANDLE_E_BAD_PROTOCOL) {
        r = FILEHANDLE_E_START_FAILED;
    }
    *puiFileSize = static_cast<uint32_t>(size);
    return r;
}
