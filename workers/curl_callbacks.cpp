// Data callbacks shared by the libcurl routines, and the mapping of libcurl results.
#include <stdio.h>

#include "common/fh_internal.h"
#include "workers/curl_raii.h"

using namespace fh;

namespace {
constexpr size_t kNullInput = 23;  // makes libcurl end the transfer with a write error
}

extern "C" size_t DownLoadFileByCurlFunc(void* buffer, size_t size, size_t count, void* stream) {
    if (buffer == nullptr || stream == nullptr) {
        FH_LOG(BMC_LOG_ERROR, "%s: Input pointer is null.", "DownLoadFileByCurlFunc");
        return kNullInput;
    }
    return fwrite(buffer, size, count, static_cast<FILE*>(stream));
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
