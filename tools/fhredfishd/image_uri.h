// From the parameters of SimpleUpdate (ImageURI, TransferProtocol, Username, Password) to
// the transfer URI that the library's Redfish entry understands.
//
// The library reads the user name and password of a URI as raw text (it never decodes
// percent escapes) and wants them for SFTP, SCP, FTP and CIFS only; HTTP and HTTPS take
// basic-auth credentials beside the URI. So credentials are taken apart here: the
// percent-encoded user information of an ImageURI is decoded, Username and Password take
// precedence over it, and the result is put back the way the library reads it, or refused
// when it holds a character that the library's URI grammar, libcurl's URL or the mount
// options could not carry unchanged.
#ifndef FHREDFISHD_IMAGE_URI_H
#define FHREDFISHD_IMAGE_URI_H

#include <optional>
#include <string>
#include <vector>

namespace fhrf {

// The eight values of TransferProtocol, in the order they are advertised.
const std::vector<std::string>& TransferProtocols();

struct ImageSource {
    std::string imageUri;
    std::optional<std::string> transferProtocol;
    std::optional<std::string> username;
    std::optional<std::string> password;
    ~ImageSource();
};

// What to hand the library. Holds credentials: its destructor wipes them.
struct TransferPlan {
    std::string protocol;  // "HTTP", "FTP", ...
    std::string command;   // transfer URI for the library (with SFTP/SCP/FTP/CIFS credentials)
    std::string fileName;  // last element of the remote path: the local file's name
    std::string httpUser;  // HTTP and HTTPS only
    std::string httpPassword;
    std::string shownUri;  // the URI without any credentials, fit for messages and logs
    TransferPlan() = default;
    TransferPlan(const TransferPlan&) = delete;
    TransferPlan& operator=(const TransferPlan&) = delete;
    ~TransferPlan();
};

// Why a request cannot be planned, as a Redfish message key and its arguments.
struct PlanProblem {
    std::string key;
    std::vector<std::string> args;
};

// Fills `plan` or `problem` (whose messages name `action`); returns whether `plan` was
// filled.
bool PlanTransfer(const ImageSource& source, const std::string& action, TransferPlan* plan,
                  PlanProblem* problem);

// Overwrites a string's characters before it is released.
void Wipe(std::string* text);

}  // namespace fhrf

#endif  // FHREDFISHD_IMAGE_URI_H
