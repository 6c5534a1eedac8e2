// Data callbacks shared by the libcurl routines, and the mapping of libcurl results.
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "common/fh_internal.h"
#include "common/curl_raii.h"

using namespace fh;

namespace {
constexpr size_t kNullInput = 23;  // makes libcurl end the transfer with a write error
}

extern "C" size_t DownLoadFileByCurlFunc(void* buffer, size_t size, size_t count, void* stream) {
    if (buffer == nullptr || stream == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "%s: Input pointer is null.", "DownLoadFileByCurlFunc");
        return kNullInput;
    }
    FILE* f = static_cast<FILE*>(stream);
    // Local files have 32-bit sizes, as on the controller (no large-file support): a
    // download that would grow past 2^31 - 1 bytes ends with a short write here too.
    off_t pos = ftello(f);
    if (pos >= 0 && static_cast<uint64_t>(pos) + static_cast<uint64_t>(size) * count >
                        static_cast<uint64_t>(INT32_MAX)) {
        return 0;
    }
    return fwrite(buffer, size, count, f);
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
        return kRemoteFileNotFound;
    }
    if (code == CURLE_COULDNT_CONNECT) {
        return kCouldNotConnect;
    }
    return kTransferFailed;
}
