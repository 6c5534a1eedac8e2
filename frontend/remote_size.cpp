// The size of the file behind a transfer URI, asked of each protocol's own probe.
#include <string.h>

#include "common/fh_internal.h"
#include "common/protocols.h"
#include "workers/curl_routine.h"

using namespace fh;

namespace {

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

namespace fh {

uint32_t TftpFileSize(ComponentInfo* req, int32_t* size) {
    return static_cast<uint32_t>(
        BRIDGE_GetTftpRemoteFileSize(req->szIpAdress, req->uiPort, req->szReadAddress, size));
}

// Local sizes are 32-bit as well: a file of 2^31 bytes or more is no size.
uint32_t LocalFileSize(ComponentInfo* req, int32_t* size) {
    int64_t local = BMC_GetFileSize(req->szReadAddress);
    if (local < 0 || local > INT32_MAX) {
        *size = 0;
        return FILEHANDLE_E_START_FAILED;
    }
    *size = static_cast<int32_t>(local);
    return FILEHANDLE_OK;
}

}  // namespace fh

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
    const Protocol* protocol = FindProtocol(req.ucProtocolType);
    if (protocol == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "not supported this protocol type %d", req.ucProtocolType);
        r = FILEHANDLE_E_BAD_PROTOCOL;
    } else {
        FH_LOG(BMC_LOG_INFO, "%s", protocol->size.log);
        r = PathsFit(*protocol, req) ? protocol->size.probe(&req, &size)
                                     : FILEHANDLE_E_START_FAILED;
    }
    if (r != FILEHANDLE_OK && r != FILEHANDLE_E_BAD_PROTOCOL) {
        r = FILEHANDLE_E_START_FAILED;
    }
    *puiFileSize = static_cast<uint32_t>(size);
    return r;
}
