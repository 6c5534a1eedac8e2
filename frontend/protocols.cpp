// One row per protocol code; see common/protocols.h.
#include "common/protocols.h"

#include <string.h>

#include "common/fh_internal.h"
#include "workers/worker_frame.h"

namespace fh {
namespace {

constexpr size_t kTftpPathMax = 240;

const Protocol kProtocols[] = {
    {FILEHANDLE_PROTOCOL_HTTP,
     {{{"https", true, nullptr}, {"http", false, nullptr}},
      false,
      false,
      true,
      UriForm::kAsGiven,
      false},
     {"HTTP Protocol file handle", &kHttpMember, 0, nullptr},
     {"HTTP Protocol file handle", HTTP_GetRemoteFileSize}},
    {FILEHANDLE_PROTOCOL_TFTP,
     {{{"tftp", false, nullptr}}, false, false, false, UriForm::kHostAndPath, false},
     {"TFTP Protocol file handle", &kTftpMember, kTftpPathMax,
      "The tftp protocol file path exceeds the maximum supported length"},
     {"TFTP Protocol file handle", TftpFileSize}},
    {FILEHANDLE_PROTOCOL_SFTP,
     {{{"sftp", false, nullptr}}, true, false, true, UriForm::kUrl, false},
     {"SFTP Protocol file handle", &kSftpMember, 0, nullptr},
     {"SFTP or SCP Protocol file handle", SFTP_GetRemoteFileSize}},
    {FILEHANDLE_PROTOCOL_NFS,
     {{{"nfs", false, nullptr}}, false, false, false, UriForm::kShare, false},
     {"NFS or CIFS Protocol file handle", &kMountMember, 0, nullptr},
     {"NFS or CIFS Protocol file handle", Mount_GetRemoteFileSize}},
    {FILEHANDLE_PROTOCOL_CIFS,
     {{{"cifs", false, nullptr}}, true, false, false, UriForm::kShare, false},
     {"NFS or CIFS Protocol file handle", &kMountMember, 0, nullptr},
     {"NFS or CIFS Protocol file handle", Mount_GetRemoteFileSize}},
    // A URI without a known scheme is a local path: copied or moved by the Redfish entry,
    // never a task.
    {FILEHANDLE_PROTOCOL_LOCAL,
     {{}, false, false, false, UriForm::kAsGiven, false},
     {nullptr, nullptr, 0, nullptr},
     {"Local file handle", LocalFileSize}},
    {FILEHANDLE_PROTOCOL_SCP,
     {{{"scp", false, nullptr}}, true, true, true, UriForm::kUrl, true},
     {"SCP Protocol file handle", &kScpMember, 0, nullptr},
     {"SFTP or SCP Protocol file handle", SFTP_GetRemoteFileSize}},
    {FILEHANDLE_PROTOCOL_FTP,
     {{{"ftp", false, "ftps"}}, true, true, true, UriForm::kUrl, false},
     {"FTP Protocol file handle", &kFtpMember, 0, nullptr},
     {"FTP Protocol file handle", FTP_GetRemoteFileSize}},
};

}  // namespace

const Protocol* FindProtocol(uint8_t code) {
    for (const Protocol& p : kProtocols) {
        if (p.code == code) {
            return &p;
        }
    }
    return nullptr;
}

const Protocol* Protocols(size_t* count) {
    *count = sizeof kProtocols / sizeof kProtocols[0];
    return kProtocols;
}

bool PathsFit(const Protocol& p, const ComponentInfo& request) {
    size_t max = p.transfer.pathMax;
    if (max != 0 &&
        (strlen(request.szReadAddress) > max || strlen(request.szStorageAddress) > max)) {
        FH_LOG(BMC_LOG_ERROR, "%s", p.transfer.pathTooLong);
        return false;
    }
    return true;
}

}  // namespace fh
