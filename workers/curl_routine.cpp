

#include "workers/curl_routine.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <mutex>

#include "common/file_size.h"
#include "workers/worker_frame.h"

namespace fh {
namespace {

// The receive buffer of HTTP, HTTPS and FTP downloads. libcurl's default 16 KiB keeps a fast
// download well below the curl CLI's throughput (whose buffer is 100 KiB); 512 KiB moved a
// loopback download in about two thirds of the time and CPU that 64 KiB took, and 1 MiB
// gained nothing more (bench/, and the README's performance table). Uploads receive only
// replies and keep libcurl's default.
constexpr long kReceiveBufferBytes = 512 * 1024;
// SFTP and SCP move data through libssh2 in pieces of these buffers. libssh2 keeps a whole
// piece of SFTP writes in flight at once, so an upload piece of 1 MiB instead of libcurl's
// 64 KiB waits far less for the server's answers; it is allocated only for uploads. A larger
// SFTP receive buffer gained nothing measurable and cost memory in every running download.
// SCP reads take curl's 100 KiB: libssh2 holds every packet that has arrived until the read
// takes it, and reads of 256 KiB or more let the worker thread's heap grow and shrink by
// megabytes between them, so the same pages were faulted in again (2.6 times the faults
// and up to a tenth more time for a 256 MiB download; bench/run.sh, and the README).
constexpr long kSftpReceiveBufferBytes = 256 * 1024;
constexpr long kScpReceiveBufferBytes = 100 * 1024;
constexpr long kSshUploadBufferBytes = 1024 * 1024;

CURLcode SetLong(CURL* h, CURLoption opt, long value) {
    return curl_easy_setopt(h, opt, value);
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

CURLcode ApplyTls(RoutineRun& run, CURL* h) {
    const ComponentInfo& q = *run.req;
    if (q.ucHttpsFlag != 1) {
        return CURLE_OK;
    }
    CurlOptions o(h);
    o.Set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2))
        .Set(CURLOPT_FORBID_REUSE, 1L)
        .Set(CURLOPT_FOLLOWLOCATION, 1L);
    switch (q.ucVerificationType) {
        case 0:
            o.Set(CURLOPT_SSL_VERIFYPEER, 0L).Set(CURLOPT_SSL_VERIFYHOST, 0L);
            break;
        case 1:
        case 2:
            o.Set(CURLOPT_SSL_VERIFYPEER, 1L)
                .Set(CURLOPT_SSL_VERIFYHOST, 1L)
                .Set(CURLOPT_CAINFO, q.szCaCertFile);
            if (q.ucVerificationType == 2) {
                o.Set(CURLOPT_SSLCERT, q.szClientCertFile).Set(CURLOPT_SSLKEY, q.szClientKeyFile);
                // szClientKey2 carries the passphrase of the client key, when it has one.
                if (q.szClientKey2[0] != '\0') {
                    o.Set(CURLOPT_KEYPASSWD, q.szClientKey2);
                }
            }
            break;
        default:
            FH_LOG(BMC_LOG_ERROR, "invalid ucVerificationType!");
            break;
    }
    return o.Result();
}

// Sets one option; returns what libcurl answered (CURLE_OK when it took the option).
CURLcode ApplyOption(RoutineRun& run, CurlOpt opt) {
    CURL* h = run.easy->Get();
    ComponentInfo& q = *run.req;
    switch (opt) {
        case CurlOpt::kPost:
            return SetLong(h, CURLOPT_POST, 1L);
        case CurlOpt::kUrl:
            return curl_easy_setopt(h, CURLOPT_URL, q.szIpAdress);
        case CurlOpt::kWriteToLocal:
            return curl_easy_setopt(h, CURLOPT_WRITEDATA, run.local.Get());
        case CurlOpt::kWriteFunction:
            return curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DownLoadFileByCurlFunc);
        case CurlOpt::kNoProgress:
            return SetLong(h, CURLOPT_NOPROGRESS, 0L);
        case CurlOpt::kProgressData:
            return curl_easy_setopt(h, CURLOPT_PROGRESSDATA, &q.uiIdentifier);
        case CurlOpt::kProgressFunction:
            return curl_easy_setopt(h, CURLOPT_PROGRESSFUNCTION, FileProgressByCurlFunc);
        case CurlOpt::kTimeout120:
            return SetLong(h, CURLOPT_TIMEOUT, 120L);
        case CurlOpt::kConnectTimeout10:
            return SetLong(h, CURLOPT_CONNECTTIMEOUT, 10L);
        case CurlOpt::kHttpPost:
            // A part the form refused would post an incomplete form: the upload fails.
            if (curl_formadd(run.form.First(), run.form.Last(), CURLFORM_COPYNAME, "sendfile",
                             CURLFORM_FILE, run.staged.staging.c_str(), CURLFORM_END) != 0 ||
                curl_formadd(run.form.First(), run.form.Last(), CURLFORM_COPYNAME, "filename",
                             CURLFORM_COPYCONTENTS, "postit2.c", CURLFORM_END) != 0 ||
                curl_formadd(run.form.First(), run.form.Last(), CURLFORM_COPYNAME, "submit",
                             CURLFORM_COPYCONTENTS, "send", CURLFORM_END) != 0) {
                return CURLE_OUT_OF_MEMORY;
            }
            return curl_easy_setopt(h, CURLOPT_HTTPPOST, run.form.Get());
        case CurlOpt::kPort:
            return SetLong(h, CURLOPT_PORT, static_cast<long>(q.uiPort));
        case CurlOpt::kHttpCredentials:
            if (q.ucHttpAuthFlag == 1 && q.szHttpPassword[0] != '\0' &&
                q.szHttpUserName[0] != '\0') {
                memset(run.credentials, 0, sizeof run.credentials);
                BMC_Scnprintf(run.credentials, sizeof run.credentials, "%s:%s", q.szHttpUserName,
                              q.szHttpPassword);
                return curl_easy_setopt(h, CURLOPT_USERPWD, run.credentials);
            }
            return CURLE_OK;
        case CurlOpt::kHttpTls:
            return ApplyTls(run, h);
        case CurlOpt::kJoinedUserPwd:
            memset(run.credentials, 0, sizeof run.credentials);
            BMC_Scnprintf(run.credentials, sizeof run.credentials, "%s:%s", q.szUserName,
                          q.szPassword);
            return curl_easy_setopt(h, CURLOPT_USERPWD, run.credentials);
        case CurlOpt::kSshAuthPassword:
            return SetLong(h, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PASSWORD));
        case CurlOpt::kUserName:
            return curl_easy_setopt(h, CURLOPT_USERNAME, q.szUserName);
        case CurlOpt::kPassword:
            return curl_easy_setopt(h, CURLOPT_PASSWORD, q.szPassword);
        case CurlOpt::kReadFunction:
            return curl_easy_setopt(h, CURLOPT_READFUNCTION, CurlFileRead_CallBack);
        case CurlOpt::kReadFromLocal:
            return curl_easy_setopt(h, CURLOPT_READDATA, run.local.Get());
        case CurlOpt::kNoCreateDirs:
            return SetLong(h, CURLOPT_FTP_CREATE_MISSING_DIRS,
                           static_cast<long>(CURLFTP_CREATE_DIR_NONE));
        case CurlOpt::kUpload:
            return SetLong(h, CURLOPT_UPLOAD, 1L);
        case CurlOpt::kInFileSize:
            return SetLong(h, CURLOPT_INFILESIZE, run.sourceSize);
        case CurlOpt::kVerbose:
            // The trace callback first: verbose output never appears without its masking.
            return CurlOptions(h)
                .Set(CURLOPT_DEBUGFUNCTION, TraceWithoutPasswords)
                .Set(CURLOPT_VERBOSE, 1L)
                .Result();
        case CurlOpt::kConnectTimeout30:
            return SetLong(h, CURLOPT_CONNECTTIMEOUT, 30L);
        case CurlOpt::kCustomGet:
            return curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "GET");
        case CurlOpt::kNoBody:
            return SetLong(h, CURLOPT_NOBODY, 1L);
        case CurlOpt::kHeader:
            return SetLong(h, CURLOPT_HEADER, 1L);
        case CurlOpt::kFtpSingleCwd:
            return SetLong(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
        case CurlOpt::kDropData:
            return curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, FTP_DropData);
        case CurlOpt::kReceiveBuffer:
            return SetLong(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
        case CurlOpt::kSftpBuffers:
        case CurlOpt::kScpBuffers:
            return CurlOptions(h)
                .Set(CURLOPT_BUFFERSIZE, opt == CurlOpt::kSftpBuffers ? kSftpReceiveBufferBytes
                                                                      : kScpReceiveBufferBytes)
                .Set(CURLOPT_UPLOAD_BUFFERSIZE, kSshUploadBufferBytes)
                .Result();
    }
    return CURLE_BAD_FUNCTION_ARGUMENT;  // not reached: the switch names every option
}

// Sets a routine's options in order. The first one libcurl refuses (a protocol or feature
// not built in, no memory) ends the list, and the transfer fails rather than run without it.
CURLcode ApplyOptions(RoutineRun& run, const CurlOpt* options, size_t count, const char* name) {
    for (size_t i = 0; i < count; ++i) {
        if (CURLcode rc = ApplyOption(run, options[i])) {
            FH_LOG(BMC_LOG_ERROR, "%s: libcurl refused option %u: %s.", name,
                   static_cast<unsigned>(options[i]), curl_easy_strerror(rc));
            return rc;
        }
    }
    return CURLE_OK;
}

// libcurl speaks only the routine's protocols, follows redirects only within them (from
// https only to https), and reaches the server itself, never through a proxy named in the
// environment. A restriction libcurl refuses fails the transfer.
bool Confine(CURL* h, const char* protocols, const ComponentInfo& q) {
    const char* redirects = q.ucHttpsFlag == 1 ? "https" : protocols;
    return CurlOptions(h)
               .Set(CURLOPT_PROTOCOLS_STR, protocols)
               .Set(CURLOPT_REDIR_PROTOCOLS_STR, redirects)
               .Set(CURLOPT_PROXY, "")
               .Result() == CURLE_OK;
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

// A failed download must not leave a file that could pass for the download.
void RemovePartial(const CurlRoutine& r, const char* path) {
    if (r.stream == LocalStream::kDestination && access(path, F_OK) == 0 && remove(path) != 0) {
        FH_LOG(BMC_LOG_ERROR, "%s: could not remove %s: %s.", r.name, path, strerror(errno));
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
            if (unlink(staging.c_str()) != 0) {
                FH_LOG(BMC_LOG_ERROR, "Staging file %s not removed: %s.", staging.c_str(),
                       strerror(errno));
            }
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
        return FILEHANDLE_E_LOCAL_FILE;
    }
    if (size < 0) {
        BMC_Scnprintf(run.desc, kDescSize, r.sizeFailReason, path);
        FH_LOG(BMC_LOG_ERROR, "%s", r.sizeFailLog);
        return FILEHANDLE_E_LOCAL_FILE;
    }
    run.sourceSize = size;
    return FILEHANDLE_OK;
}

uint32_t RunCurlTransfer(const CurlRoutine& r, ComponentInfo* req, char* desc) {
    if (req == nullptr) {
        FH_LOG_LOW(BMC_LOG_DEBUG, r.nullRequest, FH_SOURCE_FILE, r.name, __LINE__);
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    if (desc == nullptr) {
        FH_LOG_NULL_AS("pcTaskDesc", r.name);
        return FILEHANDLE_E_NULL_ARGUMENT;
    }
    if (!CredentialsSafe(*req)) {
        BMC_Strlcpy(desc,
                    "File download or upload failed, because: user name or password not allowed",
                    kDescSize);
        return FILEHANDLE_E_PARAMETER;
    }
    RoutineRun run(r, req, desc);
    if (r.prepare != nullptr) {
        uint32_t rc = r.prepare(run);
        if (rc != FILEHANDLE_OK) {
            return rc;
        }
    }
    run.global.emplace();
    run.easy.emplace();
    if (!*run.easy) {
        BMC_Strlcpy(desc, r.initFailReason, kDescSize);
        FH_LOG(BMC_LOG_ERROR, r.initFailLog, r.name);
        return FILEHANDLE_E_TRANSFER_FAILED;
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
            return FILEHANDLE_E_LOCAL_FILE;
        }
    }
    if (!Confine(run.easy->Get(), r.protocols, *req)) {
        BMC_Strlcpy(desc, "File download or upload failed, because: protocol restriction refused",
                    kDescSize);
        FH_LOG(BMC_LOG_ERROR, "%s: libcurl refused the protocol restriction.", r.name);
        CloseLocal(run);
        RemovePartial(r, req->szStorageAddress);
        return FILEHANDLE_E_TRANSFER_FAILED;
    }
    CURLcode rc = ApplyOptions(run, r.options, r.optionCount, r.name);
    if (rc != CURLE_OK) {
        BMC_Scnprintf(desc, kDescSize, r.performFailReason, curl_easy_strerror(rc));
        CloseLocal(run);
        RemovePartial(r, req->szStorageAddress);
        return FILEHANDLE_E_TRANSFER_FAILED;
    }
    ForgetWrittenStream();
    rc = curl_easy_perform(run.easy->Get());
    // A response code that cannot be read stays 0: it fails a routine that needs 200 and
    // is otherwise only logged.
    long status = 0;
    if (curl_easy_getinfo(run.easy->Get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
        status = 0;
    }
    if (rc == CURLE_OK && (!r.requireHttp200 || status == 200)) {
        CloseLocal(run);
        if (run.staged.consumeOnSuccess) {
            run.staged.mode = StagedUpload::Mode::kConsumed;
        }
        return FILEHANDLE_OK;
    }
    LogPerformFailure(r, rc, status);
    BMC_Scnprintf(desc, kDescSize, r.performFailReason, curl_easy_strerror(rc));
    CloseLocal(run);
    RemovePartial(r, req->szStorageAddress);
    return CURLCode_Convert_External_ErrorCode(rc);
}

uint32_t RunCurlProbe(const CurlProbe& p, ComponentInfo* req, int32_t* size) {
    if (req == nullptr) {
        FH_LOG_NULL_AS("pstDownloadFileInfo", p.name);
        return FILEHANDLE_IN_NULL_POINTER;
    }
    if (size == nullptr) {
        FH_LOG_NULL_AS("piFileSize", p.name);
        return FILEHANDLE_IN_NULL_POINTER;
    }
    if (!CredentialsSafe(*req)) {
        return FILEHANDLE_FAILED;
    }
    CurlRoutine r{};
    r.name = p.name;
    RoutineRun run(r, req, nullptr);
    run.global.emplace();
    run.easy.emplace();
    if (!*run.easy) {
        FH_LOG(BMC_LOG_ERROR, "%s:curl_easy_init failed!", p.name);
        return FILEHANDLE_IN_ENGINE_FAILED;
    }
    if (!Confine(run.easy->Get(), p.protocols, *req)) {
        FH_LOG(BMC_LOG_ERROR, "%s: libcurl refused the protocol restriction.", p.name);
        return FILEHANDLE_FAILED;
    }
    CURLcode rc = ApplyOptions(run, p.options, p.optionCount, p.name);
    if (rc == CURLE_OK) {
        rc = curl_easy_perform(run.easy->Get());
    }
    double length = 0;
    uint32_t result = FILEHANDLE_OK;
    if (rc == CURLE_OK) {
        rc = curl_easy_getinfo(run.easy->Get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD, &length);
    }
    if (rc != CURLE_OK) {
        length = 0;
        FH_LOG(BMC_LOG_ERROR, p.failLog, curl_easy_strerror(rc));
        result = FILEHANDLE_FAILED;
    }
    // Truncation toward zero, saturating as the 32-bit target's conversion does; libcurl's
    // -1 for "no length sent" stays -1.
    *size = length >= 2147483647.0    ? INT32_MAX
            : length <= -2147483648.0 ? INT32_MIN
                                      : static_cast<int32_t>(length);
    return result;
}

// Runs the member's routine for the request's direction and fills the final record.
void RunCurlMember(const WorkerMember& m, ComponentInfo* req, const char* progressFile, char* desc,
                   const char* baseName, ComponentProcess* rec) {
    (void)progressFile;  // the routine finds it through its progress callback
    CurlRoutineFn routine = nullptr;
    const char* failedLog = nullptr;
    if (req->ucHandleType == FILEHANDLE_DOWNLOAD) {
        routine = m.routine.download;
        failedLog = m.routine.downloadFailed;
    } else if (req->ucHandleType == FILEHANDLE_UPLOAD) {
        routine = m.routine.upload;
        failedLog = m.routine.uploadFailed;
    }
    if (routine == nullptr) {
        ReportInvalidType(m, req->ucHandleType, desc);
        SetFailed(rec, FILEHANDLE_E_PARAMETER, desc);
        return;
    }
    uint32_t r = routine(req, desc);
    if (r != FILEHANDLE_OK) {
        FH_LOG(BMC_LOG_ERROR, failedLog, m.thread.name);
    }
    SetOutcome(rec, r, desc, baseName);
}

}  // namespace fh
