// The frame shared by every libcurl transfer routine. Each routine is described by data:
// its options in the order it sets them, its local stream, its messages. The frame runs
// the steps common to all and releases what it took on every path, by construction.
#pragma once

#include <optional>
#include <string>

#include "common/curl_raii.h"
#include "common/fh_internal.h"
#include "common/raii.h"

namespace fh {

// The options a routine may set; each knows where its value comes from.
enum class CurlOpt : uint8_t {
    kPost,              // CURLOPT_POST 1
    kUrl,               // CURLOPT_URL szIpAdress
    kWriteToLocal,      // CURLOPT_WRITEDATA the routine's local stream
    kWriteFunction,     // CURLOPT_WRITEFUNCTION DownLoadFileByCurlFunc
    kNoProgress,        // CURLOPT_NOPROGRESS 0
    kProgressData,      // CURLOPT_PROGRESSDATA &uiIdentifier
    kProgressFunction,  // CURLOPT_PROGRESSFUNCTION FileProgressByCurlFunc
    kTimeout120,        // CURLOPT_TIMEOUT 120
    kConnectTimeout10,  // CURLOPT_CONNECTTIMEOUT 10
    kHttpPost,          // CURLOPT_HTTPPOST the upload form (built here)
    kPort,              // CURLOPT_PORT uiPort
    kHttpCredentials,   // CURLOPT_USERPWD when basic credentials are asked for
    kHttpTls,           // the TLS settings when ucHttpsFlag is 1
    kJoinedUserPwd,     // CURLOPT_USERPWD "%s:%s" of szUserName and szPassword (63 bytes)
    kSshAuthPassword,   // CURLOPT_SSH_AUTH_TYPES CURLSSH_AUTH_PASSWORD
    kUserName,          // CURLOPT_USERNAME szUserName
    kPassword,          // CURLOPT_PASSWORD szPassword
    kReadFunction,      // CURLOPT_READFUNCTION CurlFileRead_CallBack
    kReadFromLocal,     // CURLOPT_READDATA the routine's local stream
    kNoCreateDirs,      // CURLOPT_FTP_CREATE_MISSING_DIRS CURLFTP_CREATE_DIR_NONE
    kUpload,            // CURLOPT_UPLOAD 1
    kInFileSize,        // CURLOPT_INFILESIZE the source size (32-bit)
    kVerbose,           // CURLOPT_VERBOSE 1, trace to standard error (passwords masked)
    kConnectTimeout30,  // CURLOPT_CONNECTTIMEOUT 30
    kReceiveBuffer,     // CURLOPT_BUFFERSIZE: a tuning, not part of the exchange
    kSftpBuffers,       // receive and upload buffers sized for libssh2: SFTP
    kScpBuffers,        // and SCP
    kCustomGet,         // CURLOPT_CUSTOMREQUEST "GET"
    kNoBody,            // CURLOPT_NOBODY 1
    kHeader,            // CURLOPT_HEADER 1
    kFtpSingleCwd,      // CURLOPT_FTP_FILEMETHOD CURLFTPMETHOD_SINGLECWD
    kDropData,          // CURLOPT_WRITEFUNCTION FTP_DropData
};

enum class LocalStream : uint8_t {
    kDestination,  // szStorageAddress opened "wb" after the easy handle, removed on failure
    kReplyLog,     // kHttpUploadReplyLog opened "wb" after the easy handle
    kSource,       // szReadAddress opened "rb" before libcurl is touched (OpenUploadSource)
};

// How the transfer-failure log line takes its arguments.
enum class PerformLog : uint8_t {
    kNameTextLongStatus,  // routine name, libcurl text, response code as long
    kNameTextIntStatus,   // routine name, libcurl text, response code as int
    kResultText,          // libcurl result as int, libcurl text
};

constexpr const char* kHttpUploadReplyLog = "/var/log/HttpUploadInfo.log";

struct RoutineRun;

struct CurlRoutine {
    const char* name;
    const char* protocols;    // the only protocols libcurl may speak (CURLOPT_PROTOCOLS_STR)
    const char* nullRequest;  // level-7 format: file, function, line
    // Runs before libcurl is touched; 0 to go on, else the routine's result.
    uint32_t (*prepare)(RoutineRun& run);
    LocalStream stream;
    const CurlOpt* options;
    size_t optionCount;
    bool requireHttp200;  // success needs CURLE_OK and response code 200
    const char* initFailReason;
    const char* initFailLog;     // takes the routine name
    const char* openFailReason;  // takes the local path; null leaves pcTaskDesc untouched
    const char* openFailLog;     // takes the local path
    const char* sizeFailReason;  // upload source: takes szReadAddress
    const char* sizeFailLog;
    PerformLog performLog;
    const char* performFailLog;
    const char* performFailReason;  // takes libcurl's text
};

// How an HTTP upload staged its source, and so how it is put back at the end.
struct StagedUpload {
    enum class Mode : uint8_t {
        kNone,      // nothing staged
        kCopy,      // staging holds a copy: removed at the end
        kMove,      // staging holds the moved source: put back at the end
        kSamePath,  // staging is the source itself: left alone
        kConsumed,  // the upload consumed the source: staging removed at the end
    };
    Mode mode = Mode::kNone;
    bool consumeOnSuccess = false;  // a moved source is gone after a good upload
    std::string source;
    std::string staging;
    ~StagedUpload();
};

// Everything one run of a routine holds. Members are released in reverse order: the
// local stream, the easy handle, the form, libcurl's global state, then the staged file.
struct RoutineRun {
    RoutineRun(const CurlRoutine& r, ComponentInfo* q, char* d) : routine(r), req(q), desc(d) {}
    const CurlRoutine& routine;
    ComponentInfo* req;
    char* desc;
    StagedUpload staged;
    std::optional<CurlGlobal> global;
    CurlForm form;
    std::optional<CurlEasy> easy;
    UniqueFile local;
    long sourceSize = 0;
    char credentials[63] = {0};
};

// Prepare step of the uploads that read a local source: opens it "rb" and takes its size.
// Local files are limited to 32-bit sizes, as on the controller: a source of 2^31 bytes
// or more is refused like one that cannot be opened.
uint32_t OpenUploadSource(RoutineRun& run);

uint32_t RunCurlTransfer(const CurlRoutine& routine, ComponentInfo* req, char* desc);

// The write callback counts what the calling thread wrote to its current stream; a new
// transfer starts that count afresh (a new stream may sit at a freed one's address).
void ForgetWrittenStream();

// A remote size probe: the same options vocabulary, no local file, and the size libcurl
// reports for the download.
struct CurlProbe {
    const char* name;
    const char* protocols;
    const CurlOpt* options;
    size_t optionCount;
    const char* failLog;  // takes libcurl's text
};

uint32_t RunCurlProbe(const CurlProbe& probe, ComponentInfo* req, int32_t* size);

}  // namespace fh
