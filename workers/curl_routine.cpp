

#include "workers/curl_routine.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <mutex>

#include "common/file_size.h"

namespace fh {
namespace {

// libcurl's default 16 KiB receive buffer made a 1 GiB loopback download reach only 0.83
// of the curl CLI's throughput (which uses 100 KiB); 64 KiB measured 0.97 to 1.14 at about
// 420 KiB of memory per running task (bench/http_bench.sh). It changes nothing else.
constexpr long kReceiveBufferBytes = 64 * 1024;
// SFTP and SCP read through libssh2 in pieces of this buffer: 256 KiB measured about 1.2
// of the curl CLI on a 512 MiB SFTP download where 64 KiB gave about 1.1, and a quarter
// of the progress writes, at about 620 KiB per running task.
constexpr long kSshReceiveBufferBytes = 256 * 1024;

void SetLong(CURL* h, CURLoption opt, long value) {
    curl_easy_setopt(h, opt, value);
}

// libcurl's trace, written to standard error as libcurl itself would, except that the
// argument of an FTP "PASS" command never appears.
int TraceWithoutPasswords(CURL*, curl_infotype type, char* data, size_t size, void*) {
    static const char kPrefix[][3] = {"* ", "< ", "> "};
    if (type > CURLINFO_HEADER_OUT) {
        return 0;  // payload bytes are not traced
    }
    const char* prefix = kPrefix[type];
    if (type == CURLINFO_HEADER_OUT && size >= 5 && strncasecmp(data, "PASS ", 5) == 0) {
        fprintf(stderr, "%sPASS ***\n", prefix);
        return 0;
    }
    fprintf(stderr, "%s%.*s", prefix, static_cast<int>(size), data);
    if (size == 0 || data[size - 1] != '\n') {
        fputc('\n', stderr);
    }
    return 0;
}

void ApplyTls(RoutineRun& run, CURL* h) {
    const ComponentInfo& q = *run.req;
    if (q.ucHttpsFlag != 1) {
        return;
    }
    SetLong(h, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
    SetLong(h, CURLOPT_FORBID_REUSE, 1L);
    SetLong(h, CURLOPT_FOLLOWLOCATION, 1L);
    switch (q.ucVerificationType) {
        case 0:
            SetLong(h, CURLOPT_SSL_VERIFYPEER, 0L);
            SetLong(h, CURLOPT_SSL_VERIFYHOST, 0L);
            break;
        case 1:
        case 2:
            SetLong(h, CURLOPT_SSL_VERIFYPEER, 1L);
            SetLong(h, CURLOPT_SSL_VERIFYHOST, 1L);
            curl_easy_setopt(h, CURLOPT_CAINFO, q.szCaCertFile);
            if (q.ucVerificationType == 2) {
                curl_easy_setopt(h, CURLOPT_SSLCERT, q.szClientCertFile);
                curl_easy_setopt(h, CURLOPT_SSLKEY, q.szClientKeyFile);
                // szClientKey2 carries the passphrase of the client key, when it has one.
                if (q.szClientKey2[0] != '\0') {
                    curl_easy_setopt(h, CURLOPT_KEYPASSWD, q.szClientKey2);
                }
            }
            break;
        default:
            FH_LOG(BMC_LOG_ERROR, "invalid ucVerificationType!");
            break;
    }
}

void ApplyOption(RoutineRun& run, CurlOpt opt) {
    CURL* h = run.easy->Get();
    ComponentInfo& q = *run.req;
    switch (opt) {
        case CurlOpt::kPost:
            SetLong(h, CURLOPT_POST, 1L);
            break;
        case CurlOpt::kUrl:
            curl_easy_setopt(h, CURLOPT_URL, q.szIpAdress);
            break;
        case CurlOpt::kWriteToLocal:
            curl_easy_setopt(h, CURLOPT_WRITEDATA, run.local.Get());
            break;
        case CurlOpt::kWriteFunction:
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DownLoadFileByCurlFunc);
            break;
        case CurlOpt::kNoProgress:
            SetLong(h, CURLOPT_NOPROGRESS, 0L);
            break;
        case CurlOpt::kProgressData:
            curl_easy_setopt(h, CURLOPT_PROGRESSDATA, &q.uiIdentifier);
            break;
        case CurlOpt::kProgressFunction:
            curl_easy_setopt(h, CURLOPT_PROGRESSFUNCTION, FileProgressByCurlFunc);
            break;
        case CurlOpt::kTimeout120:
            SetLong(h, CURLOPT_TIMEOUT, 120L);
            break;
        case CurlOpt::kConnectTimeout10:
            SetLong(h, CURLOPT_CONNECTTIMEOUT, 10L);
            break;
        case CurlOpt::kHttpPost:
            curl_formadd(run.form.First(), run.form.Last(), CURLFORM_COPYNAME, "sendfile",
                         CURLFORM_FILE, run.staged.staging.c_str(), CURLFORM_END);
            curl_formadd(run.form.First(), run.form.Last(), CURLFORM_COPYNAME, "filename",
                         CURLFORM_COPYCONTENTS, "postit2.c", CURLFORM_END);
            curl_formadd(run.form.First(), run.form.Last(), CURLFORM_COPYNAME, "submit",
                         CURLFORM_COPYCONTENTS, "send", CURLFORM_END);
            curl_easy_setopt(h, CURLOPT_HTTPPOST, run.form.Get());
            break;
        case CurlOpt::kPort:
            SetLong(h, CURLOPT_PORT, static_cast<long>(q.uiPort));
            break;
        case CurlOpt::kHttpCredentials:
            if (q.ucHttpAuthFlag == 1 && q.szHttpPassword[0] != '\0' &&
                q.szHttpUserName[0] != '\0') {
                memset(run.credentials, 0, sizeof run.credentials);
                BMC_Scnprintf(run.credentials, sizeof run.credentials, "%s:%s", q.szHttpUserName,
                              q.szHttpPassword);
                curl_easy_setopt(h, CURLOPT_USERPWD, run.credentials);
            }
            break;
        case CurlOpt::kHttpTls:
            ApplyTls(run, h);
            break;
        case CurlOpt::kJoinedUserPwd:
            memset(run.credentials, 0, sizeof run.credentials);
            BMC_Scnprintf(run.credentials, sizeof run.credentials, "%s:%s", q.szUserName,
                          q.szPassword);
            curl_easy_setopt(h, CURLOPT_USERPWD, run.credentials);
            break;
        case CurlOpt::kSshAuthPassword:
            SetLong(h, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PASSWORD));
            break;
        case CurlOpt::kUserName:
            curl_easy_setopt(h, CURLOPT_USERNAME, q.szUserName);
            break;
        case CurlOpt::kPassword:
            curl_easy_setopt(h, CURLOPT_PASSWORD, q.szPassword);
            break;
        case CurlOpt::kReadFunction:
            curl_easy_setopt(h, CURLOPT_READFUNCTION, CurlFileRead_CallBack);
            break;
        case CurlOpt::kReadFromLocal:
            curl_easy_setopt(h, CURLOPT_READDATA, run.local.Get());
            break;
        case CurlOpt::kNoCreateDirs:
            SetLong(h, CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR_NONE));
            break;
        case CurlOpt::kUpload:
            SetLong(h, CURLOPT_UPLOAD, 1L);
            break;
        case CurlOpt::kInFileSize:
            SetLong(h, CURLOPT_INFILESIZE, run.sourceSize);
            break;
        case CurlOpt::kVerbose:
            SetLong(h, CURLOPT_VERBOSE, 1L);
            curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, TraceWithoutPasswords);
            break;
        case CurlOpt::kConnectTimeout30:
            SetLong(h, CURLOPT_CONNECTTIMEOUT, 30L);
            break;
        case CurlOpt::kCustomGet:
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "GET");
            break;
        case CurlOpt::kNoBody:
            SetLong(h, CURLOPT_NOBODY, 1L);
            break;
        case CurlOpt::kHeader:
            SetLong(h, CURLOPT_HEADER, 1L);
            break;
        case CurlOpt::kFtpSingleCwd:
            SetLong(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
            break;
        case CurlOpt::kDropData:
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, FTP_DropData);
            break;
        case CurlOpt::kReceiveBuffer:
            SetLong(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
            break;
        case CurlOpt::kSshReceiveBuffer:
            SetLong(h, CURLOPT_BUFFERSIZE, kSshReceiveBufferBytes);
            break;
    }
}

// libcurl speaks only the routine's protocols, follows redirects only within them (from
// https only to https), and reaches the server itself, never through a proxy named in the
// environment. A restriction libcurl refuses fails the transfer.
bool Confine(CURL* h, const char* protocols, const ComponentInfo& q) {
    const char* redirects = q.ucHttpsFlag == 1 ? "https" : protocols;
    return curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, protocols) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, redirects) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_PROXY, "") == CURLE_OK;
}

template <size_t N>
bool HasLineBreak(const char (&field)[N]) {
    size_t n = strnlen(field, N);
    return memchr(field, '\r', n) != nullptr || memchr(field, '\n', n) != nullptr;
}

// A line break in a credential would end the protocol line that carries it (FTP "PASS",
// an HTTP header) and let the rest be read as a command of its own.
bool CredentialsSafe(const ComponentInfo& q) {
    if (HasLineBreak(q.szUserName) || HasLineBreak(q.szPassword) ||
        HasLineBreak(q.szHttpUserName) || HasLineBreak(q.szHttpPassword)) {
        FH_LOG(BMC_LOG_ERROR, "User name or password refused: line break.");
        return false;
    }
    return true;
}

void CloseLocal(RoutineRun& run) {
    if (run.local.Close() != 0) {
        FH_LOG_CLOSE_FAILED(run.routine.name);
    }
}

void LogPerformFailure(const CurlRoutine& r, CURLcode rc, long status) {
    switch (r.performLog) {
        case PerformLog::kNameTextLongStatus:
            FH_LOG(BMC_LOG_ERROR, r.performFailLog, r.name, curl_easy_strerror(rc), status);
            break;
        case PerformLog::kNameTextIntStatus:
            FH_LOG(BMC_LOG_ERROR, r.performFailLog, r.name, curl_easy_strerror(rc),
                   static_cast<int>(status));
            break;
        case PerformLog::kResultText:
            FH_LOG(BMC_LOG_ERROR, r.performFailLog, static_cast<int>(rc), curl_easy_strerror(rc));
            break;
    }
}

}  // namespace

StagedUpload::~StagedUpload() {
    switch (mode) {
        case Mode::kNone:
        case Mode::kSamePath:
            break;
        case Mode::kCopy:
        case Mode::kConsumed:
            unlink(staging.c_str());
            break;
        case Mode::kMove:
            // The staged file is the only copy of the user's source and the upload did
            // not take it: put it back. If that fails it stays at the staging path;
            // it is never removed.
            if (rename(staging.c_str(), source.c_str()) != 0) {
                FH_LOG(BMC_LOG_ERROR, "Could not restore %s from %s.", source.c_str(),
                       staging.c_str());
            }
            break;
    }
}

uint32_t OpenUploadSource(RoutineRun& run) {
    const CurlRoutine& r = run.routine;
    const char* path = run.req->szReadAddress;
    run.local = UniqueFile(fopen(path, "rbe"));
    long size = run.local ? StreamSize32(run.local.Get()) : kSizeUnknown;
    if (size == kSizeTooLarge) {
        run.local.Reset();  // too large for a 32-bit size: refused like an unopenable file
    }
    if (!run.local) {
        BMC_Scnprintf(run.desc, kDescSize, r.openFailReason, path);
        FH_LOG(BMC_LOG_ERROR, r.openFailLog, path);
        return kLocalFileError;
    }
    if (size < 0) {
        BMC_Scnprintf(run.desc, kDescSize, r.sizeFailReason, path);
        FH_LOG(BMC_LOG_ERROR, "%s", r.sizeFailLog);
        return kLocalFileError;
    }
    run.sourceSize = size;
    return kOk;
}

uint32_t RunCurlTransfer(const CurlRoutine& r, ComponentInfo* req, char* desc) {
    if (req == nullptr) {
        FH_LOG_LOW(BMC_LOG_DEBUG, r.nullRequest, FH_SOURCE_FILE, r.name, __LINE__);
        return kNullArgument;
    }
    if (desc == nullptr) {
        FH_LOG_NULL_AS("pcTaskDesc", r.name);
        return kNullArgument;
    }
    if (!CredentialsSafe(*req)) {
        BMC_Strlcpy(desc,
                    "File download or upload failed, because: user name or password not allowed",
                    kDescSize);
        return kParameterError;
    }
    RoutineRun run(r, req, desc);
    if (r.prepare != nullptr) {
        uint32_t rc = r.prepare(run);
        if (rc != kOk) {
            return rc;
        }
    }
    run.global.emplace();
    run.easy.emplace();
    if (!*run.easy) {
        BMC_Strlcpy(desc, r.initFailReason, kDescSize);
        FH_LOG(BMC_LOG_ERROR, r.initFailLog, r.name);
        return kTransferFailed;
    }
    if (r.stream != LocalStream::kSource) {
        const char* localPath =
            r.stream == LocalStream::kDestination ? req->szStorageAddress : kHttpUploadReplyLog;
        run.local = OpenStream(localPath, kCreateFlags, "wb");
        if (!run.local) {
            FH_LOG(BMC_LOG_ERROR, r.openFailLog, localPath);
            if (r.openFailReason != nullptr) {
                BMC_Scnprintf(desc, kDescSize, r.openFailReason, localPath);
            }
            return kLocalFileError;
        }
    }
    if (!Confine(run.easy->Get(), r.protocols, *req)) {
        BMC_Strlcpy(desc, "File download or upload failed, because: protocol restriction refused",
                    kDescSize);
        FH_LOG(BMC_LOG_ERROR, "%s: libcurl refused the protocol restriction.", r.name);
        return kTransferFailed;
    }
    for (size_t i = 0; i < r.optionCount; ++i) {
        ApplyOption(run, r.options[i]);
    }
    ForgetWrittenStream();
    CURLcode rc = curl_easy_perform(run.easy->Get());
    long status = 0;
    curl_easy_getinfo(run.easy->Get(), CURLINFO_RESPONSE_CODE, &status);
    if (rc == CURLE_OK && (!r.requireHttp200 || status == 200)) {
        CloseLocal(run);
        if (run.staged.consumeOnSuccess) {
            run.staged.mode = StagedUpload::Mode::kConsumed;
        }
        return kOk;
    }
    LogPerformFailure(r, rc, status);
    BMC_Scnprintf(desc, kDescSize, r.performFailReason, curl_easy_strerror(rc));
    CloseLocal(run);
    if (r.stream == LocalStream::kDestination && access(req->szStorageAddress, F_OK) == 0) {
        remove(req->szStorageAddress);
    }
    return CURLCode_Convert_External_ErrorCode(rc);
}

uint32_t RunCurlProbe(const CurlProbe& p, ComponentInfo* req, int32_t* size) {
    if (req == nullptr) {
        FH_LOG_NULL_AS("pstDownloadFileInfo", p.name);
        return kInNullPointer;
    }
    if (size == nullptr) {
        FH_LOG_NULL_AS("piFileSize", p.name);
        return kInNullPointer;
    }
    if (!CredentialsSafe(*req)) {
        return kProbeFailed;
    }
    CurlRoutine r{};
    r.name = p.name;
    RoutineRun run(r, req, nullptr);
    run.global.emplace();
    run.easy.emplace();
    if (!*run.easy) {
        FH_LOG(BMC_LOG_ERROR, "%s:curl_easy_init failed!", p.name);
        return kInProbeInit;
    }
    if (!Confine(run.easy->Get(), p.protocols, *req)) {
        FH_LOG(BMC_LOG_ERROR, "%s: libcurl refused the protocol restriction.", p.name);
        return kProbeFailed;
    }
    for (size_t i = 0; i < p.optionCount; ++i) {
        ApplyOption(run, p.options[i]);
    }
    CURLcode rc = curl_easy_perform(run.easy->Get());
    double length = 0;
    uint32_t result = kOk;
    if (rc == CURLE_OK) {
        curl_easy_getinfo(run.easy->Get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD, &length);
    } else {
        FH_LOG(BMC_LOG_ERROR, p.failLog, curl_easy_strerror(rc));
        result = kProbeFailed;
    }
    // Truncation toward zero, saturating as the 32-bit target's conversion does; libcurl's
    // -1 for "no length sent" stays -1.
    *size = length >= 2147483647.0    ? INT32_MAX
            : length <= -2147483648.0 ? INT32_MIN
                                      : static_cast<int32_t>(length);
    return result;
}

}  // namespace fh
