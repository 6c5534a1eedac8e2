// Data callbacks shared by the libcurl routines, and the mapping of libcurl results.
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "common/curl_raii.h"
#include "common/fh_internal.h"

using namespace fh;

namespace {
constexpr size_t kNullInput = 23;  // makes libcurl end the transfer with a write error

struct WriteTracking {
    FILE* stream = nullptr;
    uint64_t position = 0;
    uint32_t calls = 0;
};
thread_local WriteTracking t_written;
}  // namespace

namespace fh {
void ForgetWrittenStream() {
    t_written = WriteTracking{};
}
}  // namespace fh

extern "C" size_t DownLoadFileByCurlFunc(void* buffer, size_t size, size_t count, void* stream) {
    if (buffer == nullptr || stream == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "%s: Input pointer is null.", "DownLoadFileByCurlFunc");
        return kNullInput;
    }
    FILE* f = static_cast<FILE*>(stream);
    // Local files have 32-bit sizes, as on the controller (no large-file support): a
    // download that would grow past 2^31 - 1 bytes ends with a short write here too.
    // Asking the position (ftello) on every block cost about a tenth of the throughput,
    // so each thread counts what it wrote to its current stream and asks the stream
    // itself only when the stream changes and every 256th block.
    const uint64_t n = static_cast<uint64_t>(size) * count;
    if (t_written.stream != f || ++t_written.calls % 256 == 0) {
        off_t pos = ftello(f);
        t_written.stream = f;
        t_written.position = pos < 0 ? 0 : static_cast<uint64_t>(pos);
    }
    if (t_written.position + n > static_cast<uint64_t>(INT32_MAX)) {
        return 0;
    }
    size_t written = fwrite(buffer, size, count, f);
    t_written.position += static_cast<uint64_t>(written) * size;
    return written;
}

extern "C" size_t CurlFileRead_CallBack(void* buffer, size_t size, size_t count, void* stream) {
    if (buffer == nullptr || stream == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "%s: Input pointer is null.", "CurlFileRead_CallBack");
        return kNullInput;
    }
    return fread(buffer, size, count, static_cast<FILE*>(stream));
}

extern "C" size_t FTP_DropData(void* buffer, size_t size, size_t count, void* userdata) {
    (void)buffer;
    (void)userdata;
    return size * count;
}

extern "C" uint32_t CURLCode_Convert_External_ErrorCode(int32_t code) {
    if (code == CURLE_REMOTE_FILE_NOT_FOUND) {
        return FILEHANDLE_E_REMOTE_NOT_FOUND;
    }
    if (code == CURLE_COULDNT_CONNECT) {
        return FILEHANDLE_E_COULD_NOT_CONNECT;
    }
    return FILEHANDLE_E_TRANSFER_FAILED;
}
