// TFTP bridge: whole-file transfers and size queries over libcurl's TFTP support.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/curl_raii.h"
#include "common/progress_record.h"
#include "common/raii.h"
#include "platform/bmc_platform.h"

namespace {

constexpr uint32_t kMinBlockSize = 8;  // the range libcurl accepts
constexpr uint32_t kMaxBlockSize = 65464;
constexpr uint32_t kMaxPort = 65535;

// A server that never answers the first request fails the call after this long; libcurl
// spreads its retransmissions of the request over the same time.
constexpr long kConnectTimeoutSeconds = 10;
// Once the transfer runs, libcurl's own per-block retransmit time-out is derived from
// the overall time-out, which is unset (a large file may take long): without this, a
// server that stops answering mid-transfer would be waited for up to an hour.
constexpr long kLowSpeedBytesPerSecond = 1;
constexpr long kLowSpeedSeconds = 10;

// Local reads and writes go through a buffer of this size instead of one system call per
// TFTP block (512 bytes by default).
constexpr size_t kIoBufferBytes = 256 * 1024;
static_assert(kIoBufferBytes >= kMaxBlockSize, "a whole block always fits the buffer");

constexpr uint32_t kLogModule = 0;

#define TFTP_LOG(level, ...) \
    BMC_DiagLogOut(kLogModule, 0, (level), __LINE__, "tftp_bridge.cpp", __VA_ARGS__)

// ---- owners of libcurl resources ----

using CurlGlobal = fh::CurlGlobal;
using EasyHandle = fh::CurlEasy;

// A string allocated by libcurl.
class CurlText {
  public:
    explicit CurlText(char* s) : s_(s) {}
    CurlText(CurlText&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    CurlText& operator=(CurlText&&) = delete;
    CurlText(const CurlText&) = delete;
    CurlText& operator=(const CurlText&) = delete;
    ~CurlText() { curl_free(s_); }
    const char* Get() const { return s_; }

  private:
    char* s_;
};

// ---- URL ----

bool IsIpv6Literal(const std::string& host) {
    // An optional zone ("fe80::1%eth0") follows the address.
    std::string address = host.substr(0, host.find('%'));
    struct in6_addr a {};
    return inet_pton(AF_INET6, address.c_str(), &a) == 1;
}

// Names and IPv4 addresses: letters, digits, '.', '-' and '_' only, so nothing in the
// host can start the port, path, query or user part of the URL.
bool IsPlainHost(const std::string& host) {
    for (char c : host) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Percent-encodes the name segment by segment, so that '/' stays a path separator and
// every other byte outside the unreserved set (';', '?', '#', '%', spaces...) reaches
// the server as it is.
bool EscapeName(const char* name, std::string* out) {
    out->clear();
    const char* segment = name;
    for (;;) {
        const char* slash = strchr(segment, '/');
        size_t length = slash != nullptr ? static_cast<size_t>(slash - segment) : strlen(segment);
        if (length > 0) {
            // libcurl ignores the handle argument (since 7.82).
            CurlText escaped(curl_easy_escape(nullptr, segment, static_cast<int>(length)));
            if (escaped.Get() == nullptr) {
                return false;
            }
            out->append(escaped.Get());
        }
        if (slash == nullptr) {
            return true;
        }
        out->push_back('/');
        segment = slash + 1;
    }
}

// "tftp://host[:port]/name"; false for a host or port no call accepts.
bool BuildUrl(const char* host, uint32_t port, const char* name, std::string* url) {
    std::string h(host);
    if (h.empty() || port > kMaxPort || name[0] == '\0') {
        return false;
    }
    if (h.size() > 2 && h.front() == '[' && h.back() == ']' &&
        IsIpv6Literal(h.substr(1, h.size() - 2))) {
        h = h.substr(1, h.size() - 2);
    }
    std::string authority;
    if (IsIpv6Literal(h)) {
        size_t zone = h.find('%');
        if (zone != std::string::npos) {
            // The zone's '%' is itself encoded in a URL; its name must be plain.
            std::string zoneName = h.substr(zone + 1);
            if (zoneName.empty() || !IsPlainHost(zoneName)) {
                return false;
            }
            h = h.substr(0, zone) + "%25" + zoneName;
        }
        authority = "[" + h + "]";
    } else if (IsPlainHost(h)) {
        authority = h;
    } else {
        return false;
    }
    if (port != 0) {
        authority += ":" + std::to_string(port);
    }
    std::string path;
    if (!EscapeName(name, &path)) {
        return false;
    }
    *url = "tftp://" + authority + "/" + path;
    return true;
}

// ---- progress records ----

// Writes stage-1 records to the task's progress file through the task library's own
// record writer. Writes only when the percentage changes, else at most once a second to
// refresh the time.
//
// The file is held from the start of the transfer (see fh::HeldProgressFile). A file that
// did not exist then is never written (a deleted task is never brought back); once the
// path names nothing or another task's file (the task was deleted or expired and its
// identifier reused), Update answers false and the transfer stops, writing nothing into
// the other task's record.
class ProgressFile {
  public:
    explicit ProgressFile(const char* path) : path_(path), held_(path) {}

    bool Update(int64_t done, int64_t total) {
        if (total <= 0 || !held_.Held()) {
            return true;  // nothing to report until the size is known, or nowhere to
        }
        int64_t scaled = done <= 0 ? 0 : done >= total ? 100 : done * 100 / total;
        uint8_t percent = static_cast<uint8_t>(scaled > 100 ? 100 : scaled);
        auto now = std::chrono::steady_clock::now();
        if (written_ && percent == lastPercent_ && now - lastWrite_ < std::chrono::seconds(1)) {
            return true;
        }
        written_ = true;
        lastPercent_ = percent;
        lastWrite_ = now;
        if (held_.Check(path_) != fh::HeldProgressFile::State::kOurs) {
            return false;
        }
        ComponentProcess rec{};
        rec.uiStage = FILEHANDLE_STAGE_TRANSFERRING;
        rec.uiTime = static_cast<uint32_t>(time(nullptr));
        rec.ucPercent = percent;
        BMC_Strlcpy(rec.szDescription, "File transfer....", sizeof rec.szDescription);
        if (!fh::WriteRecordAt(held_.Fd(), rec).written) {
            TFTP_LOG(BMC_LOG_ERROR, "Writing progress to %s failed.", path_);
        }
        return true;
    }

  private:
    const char* path_;
    fh::HeldProgressFile held_;
    bool written_ = false;
    uint8_t lastPercent_ = 0;
    std::chrono::steady_clock::time_point lastWrite_{};
};

// ---- local file side ----

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

struct Transfer {
    Transfer(bool isDownload, int descriptor, const char* progressPath, int64_t expected)
        : download(isDownload), fd(descriptor), expectedSize(expected), progress(progressPath) {
        buffer.reserve(kIoBufferBytes);
    }

    bool download;
    int fd;
    int64_t expectedSize;
    ProgressFile progress;
    std::vector<char> buffer;  // download: bytes not yet written; upload: bytes read ahead
    size_t bufferPos = 0;      // upload: next byte of `buffer` to hand out
    int64_t received = 0;      // download: bytes handed to us by libcurl
    int64_t knownTotal = 0;    // the last size the progress was measured against
    int localErrno = 0;        // the local read or write that failed

    bool Flush() {
        if (!buffer.empty() && !WriteAll(fd, buffer.data(), buffer.size())) {
            localErrno = errno;
            return false;
        }
        buffer.clear();
        return true;
    }
};

extern "C" size_t ReceiveBlock(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    if (t->buffer.size() + n > kIoBufferBytes && !t->Flush()) {
        return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    t->buffer.insert(t->buffer.end(), data, data + n);
    t->received += static_cast<int64_t>(n);
    return n;
}

// A server that answers an upload with data blocks is not taking the file: the upload
// fails (CURLE_WRITE_ERROR) rather than libcurl's default writer putting those blocks on
// the process's standard output.
extern "C" size_t RefuseBlock(char*, size_t, size_t, void*) {
    return 0;
}

extern "C" size_t SendBlock(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t want = size * count;
    if (t->bufferPos == t->buffer.size()) {
        t->buffer.resize(kIoBufferBytes);
        ssize_t n;
        do {
            n = read(t->fd, t->buffer.data(), t->buffer.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            t->localErrno = errno;
            t->buffer.clear();
            t->bufferPos = 0;
            return CURL_READFUNC_ABORT;
        }
        t->buffer.resize(static_cast<size_t>(n));
        t->bufferPos = 0;
        if (n == 0) {
            return 0;  // end of file: the last block goes out
        }
    }
    size_t n = t->buffer.size() - t->bufferPos;
    if (n > want) {
        n = want;
    }
    memcpy(data, t->buffer.data() + t->bufferPos, n);
    t->bufferPos += n;
    return n;
}

extern "C" int TransferProgress(void* user, curl_off_t dltotal, curl_off_t dlnow,
                                curl_off_t ultotal, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(user);
    int64_t total = t->download ? dltotal : ultotal;
    if (total <= 0) {
        total = t->expectedSize;
    }
    if (total > 0) {
        t->knownTotal = total;
    }
    // A non-zero answer stops the transfer: its task was deleted.
    return t->progress.Update(t->download ? dlnow : ulnow, total) ? 0 : 1;
}

// Options shared by transfers and size queries. The error buffer goes first, so that a
// refusal of any later option is told in it too.
fh::CurlOptions CommonOptions(CURL* h, const std::string& url, bool noOptions, char* errorBuffer) {
    fh::CurlOptions o(h);
    o.Set(CURLOPT_ERRORBUFFER, errorBuffer)
        .Set(CURLOPT_URL, url.c_str())
        // Dots in the name are part of it, not path steps to resolve.
        .Set(CURLOPT_PATH_AS_IS, 1L)
        .Set(CURLOPT_PROTOCOLS_STR, "tftp")
        .Set(CURLOPT_NOSIGNAL, 1L)
        .Set(CURLOPT_NOPROXY, "*")
        .Set(CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds)
        .Set(CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond)
        .Set(CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
    if (noOptions) {
        o.Set(CURLOPT_TFTP_NO_OPTIONS, 1L);
    }
    return o;
}

// An option libcurl refused (a protocol not built in, no memory) fails the request: it never
// runs with the option unset.
bool OptionsTaken(const fh::CurlOptions& o) {
    if (o.Result() == CURLE_OK) {
        return true;
    }
    TFTP_LOG(BMC_LOG_ERROR, "libcurl refused a TFTP option: %s.", curl_easy_strerror(o.Result()));
    return false;
}

bool IsRegularFile(int fd, struct stat* st) {
    return fstat(fd, st) == 0 && S_ISREG(st->st_mode);
}

CURLcode RunTransfer(Transfer& t, const std::string& url, uint32_t blockSize, bool noOptions) {
    EasyHandle easy;
    if (!easy) {
        TFTP_LOG(BMC_LOG_ERROR, "curl_easy_init failed.");
        return CURLE_FAILED_INIT;
    }
    CURL* h = easy.Get();
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    fh::CurlOptions o = CommonOptions(h, url, noOptions, errorBuffer);
    o.Set(CURLOPT_TFTP_BLKSIZE, static_cast<long>(blockSize))
        .Set(CURLOPT_NOPROGRESS, 0L)
        .Set(CURLOPT_XFERINFOFUNCTION, TransferProgress)
        .Set(CURLOPT_XFERINFODATA, &t);
    if (t.download) {
        o.Set(CURLOPT_WRITEFUNCTION, ReceiveBlock).Set(CURLOPT_WRITEDATA, &t);
    } else {
        o.Set(CURLOPT_UPLOAD, 1L)
            .Set(CURLOPT_READFUNCTION, SendBlock)
            .Set(CURLOPT_READDATA, &t)
            .Set(CURLOPT_WRITEFUNCTION, RefuseBlock);
        int64_t size = t.expectedSize;
        struct stat st {};
        if (size <= 0 && IsRegularFile(t.fd, &st)) {
            off_t pos = lseek(t.fd, 0, SEEK_CUR);
            size = pos >= 0 && st.st_size > pos ? st.st_size - pos : 0;
        }
        if (size > 0) {
            o.Set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
        }
    }
    if (!OptionsTaken(o)) {
        return o.Result();
    }
    CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_OK && t.download) {
        // A server that announced the size and then ended early is not a whole file.
        curl_off_t announced = -1;
        if (curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && announced != t.received) {
            TFTP_LOG(BMC_LOG_ERROR, "TFTP download ended after %lld of %lld bytes.",
                     static_cast<long long>(t.received), static_cast<long long>(announced));
            rc = CURLE_PARTIAL_FILE;
        }
    }
    if (rc != CURLE_OK) {
        TFTP_LOG(BMC_LOG_ERROR, "TFTP %s failed: %d (%s%s%s).", t.download ? "download" : "upload",
                 static_cast<int>(rc), curl_easy_strerror(rc), errorBuffer[0] != '\0' ? ": " : "",
                 errorBuffer);
        if (t.localErrno != 0) {
            TFTP_LOG(BMC_LOG_ERROR, "Local file %s failed: %s.", t.download ? "write" : "read",
                     strerror(t.localErrno));
        }
    }
    return rc;
}

// Writes what is still buffered and cuts a regular file at the end of the received bytes:
// the caller opens the destination without O_TRUNC, and nothing of an older, longer file
// may remain. Done after a failure too, so the file never mixes old and new content.
CURLcode FinishDownload(Transfer& t, CURLcode rc) {
    bool flushed = t.Flush();
    if (rc == CURLE_OK && !flushed) {
        TFTP_LOG(BMC_LOG_ERROR, "Local file write failed: %s.", strerror(t.localErrno));
        rc = CURLE_WRITE_ERROR;
    }
    struct stat st {};
    if (!IsRegularFile(t.fd, &st)) {
        return rc;
    }
    off_t end = lseek(t.fd, 0, SEEK_CUR);
    if ((end < 0 || ftruncate(t.fd, end) != 0) && rc == CURLE_OK) {
        TFTP_LOG(BMC_LOG_ERROR, "Cutting the local file failed: %s.", strerror(errno));
        rc = CURLE_WRITE_ERROR;
    }
    return rc;
}

// ---- size query ----

struct SizeQuery {
    curl_off_t total = -1;  // the announced size, once seen
    bool gotData = false;   // the server sent the file instead of its size
};

extern "C" size_t DiscardBlock(char*, size_t, size_t, void* user) {
    static_cast<SizeQuery*>(user)->gotData = true;
    return 0;  // ends the transfer: no file data is wanted
}

extern "C" int SizeProgress(void* user, curl_off_t dltotal, curl_off_t, curl_off_t, curl_off_t) {
    auto* q = static_cast<SizeQuery*>(user);
    if (dltotal > 0) {
        q->total = dltotal;
        return 1;  // ends the transfer before the first data block
    }
    return 0;
}

CURLcode QuerySize(const std::string& url, bool noOptions, SizeQuery* q) {
    EasyHandle easy;
    if (!easy) {
        TFTP_LOG(BMC_LOG_ERROR, "curl_easy_init failed.");
        return CURLE_FAILED_INIT;
    }
    CURL* h = easy.Get();
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    // CURLOPT_NOBODY would still fetch the whole file over TFTP: the request is ended
    // from the progress callback as soon as the size is known instead.
    fh::CurlOptions o = CommonOptions(h, url, noOptions, errorBuffer);
    o.Set(CURLOPT_NOPROGRESS, 0L)
        .Set(CURLOPT_XFERINFOFUNCTION, SizeProgress)
        .Set(CURLOPT_XFERINFODATA, q)
        .Set(CURLOPT_WRITEFUNCTION, DiscardBlock)
        .Set(CURLOPT_WRITEDATA, q);
    if (!OptionsTaken(o)) {
        return o.Result();
    }
    CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK && q->total < 0 && !q->gotData) {
        TFTP_LOG(BMC_LOG_ERROR, "TFTP size query failed: %d (%s%s%s).", static_cast<int>(rc),
                 curl_easy_strerror(rc), errorBuffer[0] != '\0' ? ": " : "", errorBuffer);
    }
    return rc;
}

}  // namespace

extern "C" int BRIDGE_TftpUrl(const char* host, uint32_t port, const char* remoteName, char* url,
                              size_t size) {
    std::string built;
    if (host == nullptr || remoteName == nullptr || !BuildUrl(host, port, remoteName, &built)) {
        return -1;
    }
    if (url != nullptr && built.size() < size) {
        memcpy(url, built.c_str(), built.size() + 1);
    }
    return static_cast<int>(built.size());
}

extern "C" int BRIDGE_TFTP(uint8_t ucHandleType, const char* host, const char* remoteName, int fd,
                           uint32_t port, uint32_t blockSize, const char* progressFile,
                           int32_t expectedSize) {
    std::string url;
    if (host == nullptr || remoteName == nullptr || progressFile == nullptr || fd < 0 ||
        (ucHandleType != BRIDGE_TFTP_DOWNLOAD && ucHandleType != BRIDGE_TFTP_UPLOAD) ||
        blockSize < kMinBlockSize || blockSize > kMaxBlockSize ||
        !BuildUrl(host, port, remoteName, &url)) {
        TFTP_LOG(BMC_LOG_ERROR, "BRIDGE_TFTP: invalid argument.");
        return -1;
    }
    bool download = ucHandleType == BRIDGE_TFTP_DOWNLOAD;
    Transfer t(download, fd, progressFile, expectedSize);
    CURLcode rc;
    {
        CurlGlobal global;
        if (!global.Ok()) {
            TFTP_LOG(BMC_LOG_ERROR, "curl_global_init failed.");
            rc = CURLE_FAILED_INIT;
        } else {
            rc = RunTransfer(t, url, blockSize, false);
            if (rc == CURLE_TFTP_ILLEGAL && download && t.received == 0) {
                // libcurl refuses a size announcement of 0, which is how a server answers
                // the request for an empty file: ask once more without options (and so
                // with 512-byte blocks).
                TFTP_LOG(BMC_LOG_INFO, "Retrying the TFTP download without options.");
                rc = RunTransfer(t, url, blockSize, true);
            }
        }
    }
    if (download) {
        rc = FinishDownload(t, rc);
    }
    if (rc == CURLE_OK && t.knownTotal > 0) {
        // libcurl may hand over the last block after its last progress call: the whole
        // file is through, so the last record says so.
        t.progress.Update(t.knownTotal, t.knownTotal);
    }
    return static_cast<int>(rc);
}

extern "C" int BRIDGE_GetTftpRemoteFileSize(const char* host, uint32_t port, const char* remoteName,
                                            int32_t* size) {
    std::string url;
    if (host == nullptr || remoteName == nullptr || size == nullptr ||
        !BuildUrl(host, port, remoteName, &url)) {
        TFTP_LOG(BMC_LOG_ERROR, "BRIDGE_GetTftpRemoteFileSize: invalid argument.");
        return -1;
    }
    CurlGlobal global;
    if (!global.Ok()) {
        TFTP_LOG(BMC_LOG_ERROR, "curl_global_init failed.");
        return CURLE_FAILED_INIT;
    }
    SizeQuery q;
    CURLcode rc = QuerySize(url, false, &q);
    if (rc == CURLE_TFTP_ILLEGAL && q.total < 0 && !q.gotData) {
        // libcurl refuses an announced size of 0, so an empty file looks like a protocol
        // error: ask again without options. The file is empty when that ends without any
        // data; any data means it is not and the size stays unknown.
        q = SizeQuery{};
        rc = QuerySize(url, true, &q);
    }
    if (q.total >= 0) {
        if (q.total > INT32_MAX) {
            TFTP_LOG(BMC_LOG_ERROR, "TFTP remote file size %lld exceeds the 32-bit range.",
                     static_cast<long long>(q.total));
            return CURLE_FILESIZE_EXCEEDED;
        }
        *size = static_cast<int32_t>(q.total);
        return 0;
    }
    if (rc == CURLE_OK && !q.gotData) {
        *size = 0;  // the whole file came as one empty block
        return 0;
    }
    if (q.gotData || rc == CURLE_OK) {
        TFTP_LOG(BMC_LOG_ERROR, "The TFTP server did not announce the file size.");
        return CURLE_TFTP_ILLEGAL;
    }
    return static_cast<int>(rc);
}
